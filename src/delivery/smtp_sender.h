#pragma once

#include "delivery/smtp_reply.h"
#include "delivery/tcp_blocking_socket.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenpost {

class MessageSource;

// What became of STARTTLS.
enum class TlsUpgrade {
    encrypted,       // handshake done and EHLO said again: the dialogue goes on encrypted
    refused,         // a complete reply other than 220: the dialogue goes on in clear
    handshakeFailed, // 220, then the handshake failed: the connection is unusable
    failed           // no complete reply, or EHLO failed afterwards: the connection is unusable
};

// How the client logs in, strongest first: CRAM-MD5 never shows the password, PLAIN and
// LOGIN send it (only ever through TLS at a relay host).
enum class AuthMechanism { cramMd5, plain, login };

// The strongest mechanism of the blank-separated `offered` (the AUTH extension's
// parameters, any case) that the client knows; nothing when none.
std::optional<AuthMechanism> StrongestMechanism(std::string_view offered);

// The initial response of AUTH PLAIN (RFC 4616): Base64 of NUL, user, NUL, password.
std::string PlainResponse(std::string_view user, std::string_view password);

// What became of AUTH.
enum class AuthResult {
    authenticated,
    refused,    // a reply other than the expected one, or none: ReplyLines tells
    noMechanism // the server offers none of CRAM-MD5, PLAIN and LOGIN (or no AUTH at all)
};

// Parameters MAIL FROM may carry beside SIZE.
struct MailParameters {
    bool eightBit = false; // BODY=8BITMIME, when offered
    bool smtputf8 = false; // SMTPUTF8, when offered
};

// The client side of one SMTP dialogue over a blocking TCP socket: greeting, EHLO (or
// HELO), STARTTLS or TLS from the start, optional AUTH (CRAM-MD5, PLAIN or LOGIN), MAIL
// FROM with its parameters, RCPT TO, DATA, QUIT. Every step answers with a boolean;
// nothing is raised.
class TSmtpSender {
public:
    using Clock = std::chrono::steady_clock;

    // "host" or "host:port" into ServerHost and ServerPort; without a port (or with an
    // empty one) ServerPort stays as it is.
    void SetServer(const std::string& server);
    // Closes the socket and connects a fresh one to ServerHost:ServerPort.
    bool Open();
    // Closes the socket and connects a fresh one to `address` (ConnectTimeoutMs of the
    // socket applies).
    bool Open(const SocketAddress& address);
    // Reads one reply, multi-line or not; returns its code, 0 when it did not arrive
    // complete (lost connection, time-out, overlong line, too many lines).
    std::int32_t ReadReply();
    bool SayEhlo();
    bool SayHelo();
    bool AuthLogin();
    bool AuthCramMd5();
    bool AuthPlain();
    // Awaits the 220 greeting and says EHLO (reading the extensions) or, refused, HELO.
    bool Greet();
    // STARTTLS, the handshake naming `serverName` and checking its certificate as `trust`
    // says, and EHLO again with its extensions.
    TlsUpgrade StartTls(const std::string& serverName, const TlsTrust& trust = {});
    // The handshake right after connecting, before the greeting (RFC 8314 port 465).
    bool StartImplicitTls(const std::string& serverName, const TlsTrust& trust);
    // AUTH with the strongest mechanism offered, and only with that one: a weaker one would
    // only show the same password more openly. A failure leaves the dialogue
    // unauthenticated with the server's reply in ReplyLines.
    AuthResult Authenticate();
    // Connects to ServerHost:ServerPort, greets and authenticates when a user or password
    // is set. Fails only when the connection or the greeting or both EHLO and HELO fail.
    bool Start();
    // MAIL FROM with SIZE (when offered and `size` is positive) and `parameters`.
    bool SendMailFrom(const std::string& address, std::int64_t size,
                      const MailParameters& parameters = {});
    bool SendRcptTo(const std::string& address);
    // Sends the lines dot-stuffed and the end line.
    bool SendData(const std::vector<std::string>& lines);
    // DATA, then the text of `message` piece by piece, dot-stuffed on the fly, in writes
    // of at most 64 KiB, each allowed ReplyTimeoutMs, and the end line; true on 250 to
    // it. When the message fails to read or a write fails, the data is left unended and
    // false returned: the connection must then be closed, not QUIT. DataEnded tells
    // whether the end line went out.
    bool SendMessageData(MessageSource& message);
    // QUIT, its reply ignored, then the socket is closed.
    void Finish();
    // True when the last EHLO offered the extension `keyword` (any case, whole keyword).
    bool Offers(std::string_view keyword) const;
    // The parameters after an offered extension's keyword ("LOGIN PLAIN" of "AUTH LOGIN
    // PLAIN"); nothing when it is not offered.
    std::optional<std::string> ExtensionParameters(std::string_view keyword) const;
    // `ownMs` cut to what is left until Deadline, at least 1 ms.
    int LimitedWait(std::int32_t ownMs) const;
    bool DeadlinePassed() const;

    // Each wait for reply data, and for the server to take more message data.
    std::int32_t ReplyTimeoutMs = 120000;
    // No wait, of any kind, goes beyond this.
    Clock::time_point Deadline = Clock::time_point::max();
    // Said in EHLO and HELO; empty: this machine's fully qualified name, or the address
    // literal of the connection's local address.
    std::string EhloName;
    std::string ServerHost = "localhost";
    std::string ServerPort = "smtp";
    std::string LoginUser;
    std::string LoginPassword;

    TTcpBlockingSocket& Socket() { return socket_; }
    const TTcpBlockingSocket& Socket() const { return socket_; }
    // The last Open connected (and no Finish followed).
    bool Connected() const { return connected_; }
    // The name said in the last EHLO or HELO.
    const std::string& LocalHeloName() const { return localHeloName_; }
    std::int32_t ReplyCode() const { return replyCode_; }
    // The last reply arrived whole, with a code.
    bool ReplyComplete() const { return replyCode_ != 0 && socket_.ErrorCode() == 0; }
    const std::string& LastReplyLine() const { return lastReplyLine_; }
    const std::vector<std::string>& ReplyLines() const { return replyLines_; }
    const std::vector<std::string>& Extensions() const { return extensions_; }
    bool Extended() const { return extended_; }
    bool Authenticated() const { return authenticated_; }
    bool SizeSupported() const { return sizeSupported_; }
    // The SIZE the server gave; 0 when none (no limit).
    std::int64_t ServerMaxSize() const { return serverMaxSize_; }
    bool DataEnded() const { return dataEnded_; }
    std::int32_t StatusClass() const { return status_.Class; }
    std::int32_t StatusSubject() const { return status_.Subject; }
    std::int32_t StatusDetail() const { return status_.Detail; }

private:
    // Sends `line` with CR LF and reads the reply; returns its code.
    std::int32_t Command(const std::string& line);
    void ReadExtensions();
    void ForgetExtensions();
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
    std::int64_t serverMaxSize_ = 0;
    bool dataEnded_ = false;
    TEnhancedStatus status_;
};

} // namespace lumenpost
