#pragma once

#include "delivery/smtp_reply.h"
#include "delivery/tcp_blocking_socket.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lumenpost {

class MessageSource;

// The client side of one SMTP dialogue over a blocking TCP socket: greeting, EHLO (or
// HELO), optional AUTH (CRAM-MD5, then LOGIN), MAIL FROM with SIZE, RCPT TO, DATA, QUIT.
// Every step answers with a boolean; nothing is raised.
class TSmtpSender {
public:
    // Opens a TCP socket and fixes LocalHeloName.
    TSmtpSender();

    // "host" or "host:port" into ServerHost and ServerPort; without a port (or with an
    // empty one) ServerPort stays as it is.
    void SetServer(const std::string& server);
    // Closes the socket, opens a fresh one and connects to ServerHost:ServerPort.
    bool Open();
    // Reads one reply, multi-line or not; returns its code, 0 when it did not arrive
    // complete (lost connection, time-out, overlong line, too many lines).
    std::int32_t ReadReply();
    bool SayEhlo();
    bool SayHelo();
    bool AuthLogin();
    bool AuthCramMd5();
    // Connects, awaits the greeting, says EHLO or HELO and authenticates when a user or
    // password is set. Fails only when the connection or the greeting or both EHLO and
    // HELO fail.
    bool Start();
    bool SendMailFrom(const std::string& address, std::int64_t size);
    bool SendRcptTo(const std::string& address);
    // Sends the lines dot-stuffed and the end line.
    bool SendData(const std::vector<std::string>& lines);
    // DATA, then the text of `message` piece by piece, dot-stuffed on the fly, in writes
    // of at most 64 KiB, each allowed ReplyTimeoutMs, and the end line; true on 250 to
    // it. When the message fails to read or a write fails, the data is left unended and
    // false returned: the connection must then be closed, not QUIT.
    bool SendMessageData(MessageSource& message);
    // QUIT, its reply ignored, then the socket is closed.
    void Finish();
    // The first extension beginning with `prefix` (ignoring case); empty when none.
    std::string FindExtension(const std::string& prefix) const;

    std::int32_t ReplyTimeoutMs = 120000;
    std::string ServerHost = "localhost";
    std::string ServerPort = "smtp";
    std::string LoginUser;
    std::string LoginPassword;

    TTcpBlockingSocket& Socket() { return socket_; }
    // The last Open connected (and no Finish followed).
    bool Connected() const { return connected_; }
    const std::string& LocalHeloName() const { return localHeloName_; }
    std::int32_t ReplyCode() const { return replyCode_; }
    const std::string& LastReplyLine() const { return lastReplyLine_; }
    const std::vector<std::string>& ReplyLines() const { return replyLines_; }
    const std::vector<std::string>& Extensions() const { return extensions_; }
    bool Extended() const { return extended_; }
    bool Authenticated() const { return authenticated_; }
    bool SizeSupported() const { return sizeSupported_; }
    std::int32_t ServerMaxSize() const { return serverMaxSize_; }
    std::int32_t StatusClass() const { return status_.Class; }
    std::int32_t StatusSubject() const { return status_.Subject; }
    std::int32_t StatusDetail() const { return status_.Detail; }

private:
    // Sends `line` with CR LF and reads the reply; returns its code.
    std::int32_t Command(const std::string& line);
    void ReadExtensions();
    void Authenticate();
    // Sends `pending` in writes of at most 64 KiB: all of it, or with `keepTail` only
    // whole writes, leaving the rest in `pending`. False when a write failed.
    bool WriteData(std::string& pending, bool keepTail);

    TTcpBlockingSocket socket_;
    bool connected_ = false;
    std::string localHeloName_;
    std::int32_t replyCode_ = 0;
    std::string lastReplyLine_;
    std::vector<std::string> replyLines_;
    std::vector<std::string> extensions_;
    bool extended_ = true;
    bool authenticated_ = false;
    bool sizeSupported_ = false;
    std::int32_t serverMaxSize_ = 0;
    TEnhancedStatus status_;
};

} // namespace lumenpost
