#pragma once

#include "platform/unique_fd.h"

#include <QString>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;

namespace lumenpost {

// The channel through which a second invocation of the program (queue commands, a
// message to queue) asks the running relay: a local stream socket next to the
// single-instance lock. One connection carries one request line and one reply, then it
// is closed. A request may come with one file descriptor (SCM_RIGHTS), such as the file
// of a message. A reply is "OK\n" or "ERROR\n" followed by its text.

// <directory>/<executable file name>.sock, named like the single-instance lock.
QString ControlSocketPath(const QString& directory, const QString& executablePath);

// Longest request line, without its LF: a message's request names all its recipients.
inline constexpr std::size_t kControlRequestLimit = 64 * 1024;
// Connections served at once; more are closed at once.
inline constexpr std::size_t kControlConnectionLimit = 8;
// How long a connection may take to send its request (and, later, to take its reply).
inline constexpr std::chrono::milliseconds kControlIdleLimit{5000};

struct ControlReply {
    bool ok = false;
    std::string text;
};

// A request that came with a file descriptor, and who sent it.
struct ControlFileRequest {
    std::string line;
    UniqueFd file;
    std::uint32_t uid = 0; // the user of the sending process, as the socket reports it
};

class ControlConnection;
class ControlListener;

// Serves the channel on the thread that creates it, driven by that thread's event
// loop; nothing here blocks it.
class ControlServer {
public:
    using Handler = std::function<ControlReply(const std::string& request)>;
    // Gives the reply to a request with a file: once, at once or later, on this thread.
    // A connection that is gone by then is not answered.
    using Answer = std::function<void(const ControlReply& reply)>;
    using FileHandler = std::function<void(ControlFileRequest request, Answer answer)>;

    explicit ControlServer(Handler handler,
                           std::chrono::milliseconds idleLimit = kControlIdleLimit);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds the socket at `path` (mode 0600) and listens; nullopt on success, else
    // one line that says what failed. Whatever exists at `path` is removed first: the
    // caller holds the single-instance lock, so it can only be left by a crashed copy.
    // A second call moves the server to the new path.
    std::optional<QString> Listen(const QString& path);

    // Requests that come with a file go to `handler`; without one they are refused.
    void SetFileHandler(FileHandler handler) { fileHandler_ = std::move(handler); }

private:
    void Accept();

    Handler handler_;
    FileHandler fileHandler_;
    std::chrono::milliseconds idleLimit_;
    std::unique_ptr<ControlListener> listener_;
    std::unique_ptr<QSocketNotifier> acceptNotifier_;
    std::vector<std::shared_ptr<ControlConnection>> connections_;
};

enum class AskStatus { answered, notRunning, failed };

struct AskResult {
    AskStatus status = AskStatus::failed;
    ControlReply reply; // when answered
    std::string error;  // when failed: what went wrong and what to do
};

// Sends `request` (one line, without LF) to the relay listening at `path`, with the
// descriptor `file` when it is one, and waits up to `timeoutMs` in all for its reply.
// Blocks; needs no event loop. notRunning when no relay listens there.
AskResult AskRunningRelay(const QString& path, const std::string& request, int timeoutMs,
                          int file = -1);

} // namespace lumenpost
