#pragma once

#include "smtp_server/smtp_session.h"

#include <functional>
#include <string>

namespace lumenpost {

class TSmtpServer;
class TAsyncSocket;

// Handler types of the server's events. Every handler gets the server and the session;
// by-reference arguments come preset with the default and return the handler's decision.
using TSmtpClientConnect =
    std::function<void(TSmtpServer& Sender, TAsyncSocket& Client, bool& Allowed)>;
using TSmtpClientDisconnect = std::function<void(TSmtpServer& Sender, TAsyncSocket& Client)>;
using TSMTPServerDebug =
    std::function<void(TSmtpServer& Sender, TAsyncSocket& Client, TDebugType DebugType,
                       const std::string& OptInformation)>;
using TSmtpClientUserEvent =
    std::function<void(TSmtpServer& Sender, TAsyncSocket& Client, const std::string& Username,
                       std::string& Answer, bool& ShouldClose)>;
using TSmtpClientMailFrom = std::function<void(TSmtpServer& Sender, TAsyncSocket& Client,
                                               const std::string& Adress, std::string& Answer)>;
using TSmtpClientAuth =
    std::function<void(TSmtpServer& Sender, TAsyncSocket& Client, const std::string& Username,
                       const std::string& Password, std::string& Answer, bool& ShouldClose)>;
using TSmtpClientCramPass =
    std::function<void(TSmtpServer& Sender, TAsyncSocket& Client, const std::string& Username,
                       std::string& Password, bool& EncryptDone)>;
using TSmtpClientVRFY =
    std::function<void(TSmtpServer& Sender, TAsyncSocket& Client, const std::string& User,
                       bool& KnownUser, std::string& MailAddr)>;
using TSmtpClientMailTo = TSmtpClientMailFrom;
using TSmtpClientMailSendInit = TSmtpClientDisconnect;
using TSmtpClientMailSendData = std::function<void(TSmtpServer& Sender, TAsyncSocket& Client,
                                                   bool LastPart, const std::string& Msg)>;
// The reply to a data phase whose handler chose to answer later. Call it on the server's
// thread; once the session or the server is gone it does nothing.
using TSmtpLateAnswer = std::function<void(const std::string& Answer)>;
// Raised once at the end of every data phase; Oversized: the data went over MaxMessageSize.
// A handler that needs time (a message being made durable) keeps a copy of AnswerLater,
// sets Deferred and calls it once; the session reads nothing more until then (a client
// that leaves meanwhile is noticed, and its session ended, after the answer).
using TSmtpClientDataEnd =
    std::function<void(TSmtpServer& Sender, TAsyncSocket& Client, bool Oversized,
                       std::string& Answer, const TSmtpLateAnswer& AnswerLater, bool& Deferred)>;
using TSmtpClientReset =
    std::function<void(TSmtpServer& Sender, TAsyncSocket& Client, std::string& Answer)>;
using TSmtpClientHelp = std::function<void(TSmtpServer& Sender, TAsyncSocket& Client,
                                           const std::string& Command, std::string& Answer)>;
using TSmtpClientUnknownCmd = std::function<void(TSmtpServer& Sender, TAsyncSocket& Client,
                                                 const std::string& Cmd, std::string& Answer)>;
using TSmtpClientQuit = TSmtpClientReset;

} // namespace lumenpost
