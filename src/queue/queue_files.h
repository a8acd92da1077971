#pragma once

#include <optional>
#include <string>
#include <string_view>

// File helpers of the queue, private to src/queue/: POSIX calls whose every failure
// becomes a text that names the path and the system's reason.
namespace lumenpost::queue_files {

// A queue id as it may stand in a file name: 1 to 64 ASCII letters and digits.
bool IsQueueId(std::string_view id);

// "<what> <path>: <strerror(err)>".
std::string ErrorText(std::string_view what, const std::string& path, int err);

// Writes all bytes, going on after short writes and EINTR. Nothing on success, else the
// errno value (ENOSPC when the system writes nothing without saying why).
std::optional<int> WriteFully(int fd, std::string_view bytes);

// fsync and close; the descriptor is closed either way. Nothing, or the first errno.
std::optional<int> SyncAndClose(int fd);

// Writes `content` to `tmpPath` (mode 0600), fsyncs it and renames it to `finalPath`.
// On failure nothing of the temporary file is left and `finalPath` is untouched.
std::optional<std::string> ReplaceFile(const std::string& tmpPath, const std::string& finalPath,
                                       std::string_view content);

// fsync of a folder, so that renames and new names in it survive a crash.
std::optional<std::string> SyncFolder(const std::string& path);

// A small file's whole content (up to `limit` bytes), or nothing with `error` set.
std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit,
                                         std::string& error);

// Creates `path` and its missing parents with mode 0700; an existing `path` with wider
// rights is narrowed to 0700.
std::optional<std::string> MakePrivateFolder(const std::string& path);

// Renames `folder`/`name` into `targetFolder`, never replacing a file there (a number is
// added to the name instead). Nothing on success, else what went wrong.
std::optional<std::string> MoveIntoFolder(const std::string& folder, const std::string& name,
                                          const std::string& targetFolder);

// unlink that forgives a file already gone; false with `error` set otherwise.
bool RemoveFile(const std::string& path, std::string& error);

} // namespace lumenpost::queue_files
