#pragma once

#include "net_events/socket_server.h"
#include "smtp_server/host_name_cache.h"
#include "smtp_server/smtp_server_events.h"

#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>

namespace lumenpost {

class TSmtpClient;

// The SMTP receiving server: listens on SrvAddr/SrvPort, runs one TSmtpClient session per
// connection, greets, limits the number of sessions, closes idle ones, and hands sender,
// recipients and message data to the application through its events. Runs on the thread
// that created it, inside that thread's Qt event loop.
class TSmtpServer {
public:
    TSmtpServer();
    ~TSmtpServer();
    TSmtpServer(const TSmtpServer&) = delete;
    TSmtpServer& operator=(const TSmtpServer&) = delete;

    // Writing true starts listening; a failure throws ESocketException and Active stays
    // false. Writing false stops listening and leaves the sessions running.
    bool Active() const { return mActive; }
    void SetActive(bool value);
    bool DebugMode() const { return mDebugMode; }
    void SetDebugMode(bool value) { mDebugMode = value; }
    // Minutes without a received line or block after which a session is closed.
    std::uint16_t CommandTimeout() const { return mCommandTimeout; }
    void SetCommandTimeout(std::uint16_t minutes) { mCommandTimeout = minutes; }
    const std::string& SrvAddr() const { return mSrvAddr; }
    void SetSrvAddr(const std::string& value) { mSrvAddr = value; }
    // A port number or a service name.
    const std::string& SrvPort() const { return mSrvPort; }
    void SetSrvPort(const std::string& value) { mSrvPort = value; }
    const std::string& HelloMessage() const { return mHelloMessage; }
    void SetHelloMessage(const std::string& value) { mHelloMessage = value; }
    // Largest number of simultaneous sessions; 0 or less: no limit. Read when activated.
    std::int32_t MaxUser() const { return mMaxUser; }
    void SetMaxUser(std::int32_t value) { mMaxUser = value; }
    const std::string& LocalPCName() const { return mLocalPCName; }
    // Pause in milliseconds before each command line of a session; only that session
    // waits (its next line is read once the pause is over).
    std::uint8_t DelayAfterCmd() const { return mDelayAfterCmd; }
    void SetDelayAfterCmd(std::uint8_t ms) { mDelayAfterCmd = ms; }
    // False: message data reaches the application only through OnSendData, and DataBuffer
    // stays empty, so the server never holds a whole message.
    bool KeepDataBuffer() const { return mKeepDataBuffer; }
    void SetKeepDataBuffer(bool value) { mKeepDataBuffer = value; }
    // Largest message accepted, in octets; advertised as SIZE. 0 or less: no limit.
    std::int64_t MaxMessageSize() const { return mMaxMessageSize; }
    void SetMaxMessageSize(std::int64_t octets) { mMaxMessageSize = octets; }

    TSmtpClientConnect OnClientConnect;
    TSmtpClientDisconnect OnClientDisconnect;
    TSMTPServerDebug OnServerDebug;
    TSmtpClientUserEvent OnUsername;
    TSmtpClientMailFrom OnMailFrom;
    TSmtpClientAuth OnAuthLogin;
    TSmtpClientCramPass OnAuthCramPass; // offered only: no mechanism raises it
    TSmtpClientVRFY OnVerifyUser;
    TSmtpClientMailTo OnMailTo;
    TSmtpClientMailSendInit OnSendDataInit;
    TSmtpClientMailSendData OnSendData;
    TSmtpClientDataEnd OnDataEnd;
    TSmtpClientReset OnReset;
    TSmtpClientHelp OnHelp;
    TSmtpClientUnknownCmd OnUnknownCmd;
    TSmtpClientQuit OnQuit;

    TSocketServer& ListenSocket() { return *mListenSocket; }
    QTimer& IdleTimer() { return *mIdleTimer; }
    const THostNameCache& HostNameCache() const { return mHostNameCache; }

    // The one path of every reply; `text` carries its CR LF. Dropped unless connected.
    void SendReply(TSmtpClient& client, const std::string& text);
    void ReportDebug(TAsyncSocket& client, TDebugType kind, const std::string& text);
    std::string LookupPeerName(const std::string& peerAddr, const std::string& heloName);
    // Closes sessions idle for longer than CommandTimeout, in the data phase for longer
    // than smtp_limits::kDataPhaseLimitMs or alive for longer than kSessionLifeLimitMs;
    // run by IdleTimer.
    void IdleSweep();
    // The late answer handed to OnDataEnd for `client`'s current data phase.
    TSmtpLateAnswer LateAnswerFor(TSmtpClient& client);

    // Replaces the reverse lookup behind LookupPeerName (tests count or fake lookups).
    void SetPeerNameResolver(THostNameCache::Resolver resolver);
    // Tests may sweep sooner than every two minutes.
    void SetIdleSweepIntervalForTesting(int ms);

private:
    void CreateListenSocket();
    void StartListening();
    void StartSession(TSocketClient& client, std::uint16_t error);
    void EndSession(TSocketClient& client);
    void TimeOut(TSmtpClient& client);
    void AnswerDataEnd(std::uint64_t sessionId, const std::string& answer);
    // Runs `step`, reporting a failure as dtError on `reportAs` instead of passing it on.
    template <typename Step> void Guarded(TAsyncSocket& reportAs, Step step);

    bool mActive = false;
    bool mDebugMode = false;
    std::uint16_t mCommandTimeout = 10;
    std::string mSrvAddr = "0.0.0.0";
    std::string mSrvPort = "Smtp";
    std::string mHelloMessage = "220 ESMTP Server Ready.";
    std::int32_t mMaxUser = 0;
    std::string mLocalPCName;
    std::uint8_t mDelayAfterCmd = 3;
    bool mKeepDataBuffer = true;
    std::int64_t mMaxMessageSize = 0;

    std::unique_ptr<TSocketServer> mListenSocket;
    std::unique_ptr<QTimer> mIdleTimer;
    THostNameCache mHostNameCache;
    THostNameCache::Resolver mPeerNameResolver = PeerHostName;
    std::uint64_t mLastSessionId = 0;
    // Late answers hold it weakly: one that outlives the server finds it expired.
    std::shared_ptr<TSmtpServer*> mSelf = std::make_shared<TSmtpServer*>(this);
};

// The greeting line for a HelloMessage, without its line end.
std::string GreetingText(const std::string& helloMessage);

} // namespace lumenpost
