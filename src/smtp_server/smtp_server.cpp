#include "smtp_server/smtp_server.h"

#include "net_events/socket_names.h"
#include "platform/tick.h"
#include "smtp_server/service_port.h"
#include "smtp_server/smtp_client.h"
#include "smtp_server/smtp_limits.h"
#include "smtp_server/smtp_replies.h"
#include "smtp_server/smtp_text.h"

#include <stdexcept>

namespace lumenpost {

using namespace smtp_text;
namespace {

constexpr std::string_view kLineEnd = "\r\n";

std::string Line(std::string_view text) {
    std::string line(text);
    line += kLineEnd;
    return line;
}

std::string MachineNameOrLocalhost() {
    try {
        std::string name = LocalMachineName();
        if (!name.empty()) {
            return name;
        }
    } catch (const std::exception&) {
        // fall through to the stand-in name
    }
    return "localhost";
}

// A session may be busy and still hold its slot too long: a slow data phase, or a life.
bool OverItsTime(const TSmtpClient& session, std::uint32_t now) {
    const bool dataTooLong =
        session.SessionState == TSmtpSessionState::ssData &&
        TicksBetween(session.DataStartedAt, now) > smtp_limits::kDataPhaseLimitMs;
    return dataTooLong || TicksBetween(session.StartedAt, now) > smtp_limits::kSessionLifeLimitMs;
}

} // namespace

std::string GreetingText(const std::string& helloMessage) {
    if (helloMessage.empty()) {
        return std::string(smtp_replies::kDefaultGreeting);
    }
    if (helloMessage.starts_with(smtp_replies::kGreetingCode)) {
        return Trim(helloMessage);
    }
    return std::string(smtp_replies::kGreetingCode) + Trim(helloMessage);
}

TSmtpServer::TSmtpServer() : mLocalPCName(MachineNameOrLocalhost()) {
    CreateListenSocket();
    mIdleTimer = std::make_unique<QTimer>();
    mIdleTimer->setInterval(smtp_limits::kIdleSweepIntervalMs);
    QObject::connect(mIdleTimer.get(), &QTimer::timeout, [this] { IdleSweep(); });
    mIdleTimer->start();
}

TSmtpServer::~TSmtpServer() {
    mListenSocket.reset(); // closes every session first
    mIdleTimer.reset();
    mHostNameCache.Clear();
}

void TSmtpServer::CreateListenSocket() {
    mListenSocket = std::make_unique<TSocketServer>();
    TSocketServer& listener = *mListenSocket;
    listener.SetMaxClients(0);
    listener.SetBanner("");
    listener.SetBannerToBusy(std::string(smtp_replies::kServerBusy));
    listener.SetComponentOptions({TSocketOption::wsoNoReceiveLoop});
    listener.SetClientFactory([](TCustomSocketServer&) -> std::unique_ptr<TSocketClient> {
        return std::make_unique<TSmtpClient>();
    });
    listener.OnClientConnect = [this](TCustomSocketServer&, TSocketClient& client,
                                      std::uint16_t error) { StartSession(client, error); };
    listener.OnClientDisconnect = [this](TCustomSocketServer&, TSocketClient& client,
                                         std::uint16_t) { EndSession(client); };
    listener.OnSessionClosed = [](TCustomAsyncSocket&, std::uint16_t) {};
    // A failure on the listening socket must never close it.
    listener.OnBgException = [](TCustomAsyncSocket&, const std::exception&, bool& canClose) {
        canClose = false;
    };
}

template <typename Step> void TSmtpServer::Guarded(TAsyncSocket& reportAs, Step step) {
    try {
        step();
    } catch (const std::exception& e) {
        ReportDebug(reportAs, TDebugType::dtError, e.what());
    }
}

void TSmtpServer::SetActive(bool value) {
    if (value == mActive) {
        return;
    }
    if (value) {
        StartListening();
    } else {
        mListenSocket->Disconnect();
    }
    mActive = value;
}

void TSmtpServer::StartListening() {
    TSocketServer& listener = *mListenSocket;
    listener.SetMaxClients(mMaxUser);
    listener.SetAddr(mSrvAddr);
    listener.SetLocalAddr("0.0.0.0");
    listener.SetPort(ResolveServicePort(mSrvPort));
    listener.SetLocalPort(listener.Port());
    listener.Listen(); // a failure throws before Active changes
}

void TSmtpServer::SendReply(TSmtpClient& client, const std::string& text) {
    if (client.State() != TSocketState::wsConnected) {
        return;
    }
    Guarded(client, [&] {
        client.SendText(text);
        ReportDebug(client, TDebugType::dtSent, text);
    });
}

void TSmtpServer::ReportDebug(TAsyncSocket& client, TDebugType kind, const std::string& text) {
    if (!mDebugMode || !OnServerDebug) {
        return;
    }
    try {
        OnServerDebug(*this, client, kind, std::string(DropOneLineEnd(text)));
    } catch (...) {
        // A failing debug handler must not disturb the session it reports on.
    }
}

std::string TSmtpServer::LookupPeerName(const std::string& peerAddr, const std::string& heloName) {
    return mHostNameCache.Lookup(peerAddr, heloName, TickCount(), mPeerNameResolver);
}

void TSmtpServer::StartSession(TSocketClient& client, std::uint16_t error) {
    auto* session = dynamic_cast<TSmtpClient*>(&client);
    if (error != 0 || session == nullptr) {
        return;
    }
    bool allowed = true;
    Guarded(*mListenSocket, [&] {
        if (OnClientConnect) {
            OnClientConnect(*this, *session, allowed);
        }
    });
    if (!allowed) {
        Guarded(*session, [&] { session->DisconnectLater(); });
        return;
    }
    Guarded(*session, [&] {
        session->StartSession(*this, ++mLastSessionId);
        SendReply(*session, Line(GreetingText(mHelloMessage)));
    });
}

void TSmtpServer::EndSession(TSocketClient& client) {
    auto* session = dynamic_cast<TSmtpClient*>(&client);
    if (session == nullptr) {
        return;
    }
    Guarded(*mListenSocket, [&] {
        if (OnClientDisconnect) {
            OnClientDisconnect(*this, *session);
        }
        session->Recipients.clear();
    });
}

void TSmtpServer::IdleSweep() {
    const std::uint32_t now = TickCount();
    const std::uint32_t limit = std::uint32_t{mCommandTimeout} * smtp_limits::kMsPerMinute;
    const int count = mListenSocket->CountClients();
    for (int i = 0; i < count; ++i) {
        auto* session = dynamic_cast<TSmtpClient*>(mListenSocket->ClientAt(i));
        if (session != nullptr &&
            (TicksBetween(session->LastActivity, now) > limit || OverItsTime(*session, now))) {
            TimeOut(*session);
        }
    }
}

// Runs from a timer: failures are reported, never thrown into the event loop.
void TSmtpServer::TimeOut(TSmtpClient& client) {
    if (client.LoggedIn && client.SessionState != TSmtpSessionState::ssData) {
        Guarded(client, [&] {
            SendReply(client, Line(smtp_replies::kIdleTimeout));
            std::string ignored;
            if (OnReset) {
                OnReset(*this, client, ignored);
            }
            SendReply(client, Line(smtp_replies::kSigningOff));
        });
        client.LoggedIn = false;
    }
    Guarded(client, [&] { client.CloseAfterSending(); });
}

TSmtpLateAnswer TSmtpServer::LateAnswerFor(TSmtpClient& client) {
    return [server = std::weak_ptr<TSmtpServer*>(mSelf),
            id = client.SessionId()](const std::string& answer) {
        if (const auto alive = server.lock()) {
            (*alive)->AnswerDataEnd(id, answer);
        }
    };
}

// The session is looked up by its id: it may have ended, and its object may have been
// reused by a later session, since the answer was deferred.
void TSmtpServer::AnswerDataEnd(std::uint64_t sessionId, const std::string& answer) {
    const int count = mListenSocket->CountClients();
    for (int i = 0; i < count; ++i) {
        auto* session = dynamic_cast<TSmtpClient*>(mListenSocket->ClientAt(i));
        if (session != nullptr && session->SessionId() == sessionId) {
            Guarded(*session, [&] { session->AnswerDataEnd(answer); });
            return;
        }
    }
}

void TSmtpServer::SetPeerNameResolver(THostNameCache::Resolver resolver) {
    mPeerNameResolver = std::move(resolver);
}

void TSmtpServer::SetIdleSweepIntervalForTesting(int ms) {
    mIdleTimer->setInterval(ms);
}

} // namespace lumenpost
