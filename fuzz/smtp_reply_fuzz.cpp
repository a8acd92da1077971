// Feeds arbitrary server output to TSmtpSender::ReadReply through a socket pair whose
// far end is closed after the data, so every read ends at once with data or an end.
#include "delivery/smtp_sender.h"

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kMostReplies = 64;

lumenpost::TSmtpSender& Sender() {
    static lumenpost::TSmtpSender sender;
    return sender;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return 0;
    }
    // What does not fit into the pair's buffer is left out rather than blocking.
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    while (written < size) {
        const auto result = send(ends[1], data + written, size - written, MSG_NOSIGNAL);
        if (result <= 0) {
            break;
        }
        written += static_cast<std::size_t>(result);
    }
    close(ends[1]);

    lumenpost::TSmtpSender& sender = Sender();
    sender.ReplyTimeoutMs = 1000;
    sender.Socket().AttachHandle(ends[0], IPPROTO_TCP);
    for (int i = 0; i < kMostReplies && sender.ReadReply() != 0; ++i) {
    }
    sender.Socket().ReleaseHandle();
    return 0;
}
