// Where the queue lives, its folders and its ids.
#include "queue/queue_files.h"
#include "queue/queue_folder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace lumenpost {

namespace {

std::string Base36(std::uint64_t value, int width) {
    std::string digits(static_cast<std::size_t>(width), '0');
    for (int i = width - 1; i >= 0 && value != 0; --i) {
        digits[static_cast<std::size_t>(i)] = "0123456789abcdefghijklmnopqrstuvwxyz"[value % 36];
        value /= 36;
    }
    return digits;
}

} // namespace

std::string QueueFolder::DefaultPath() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
        return std::string(dataHome) + "/lumenpost/queue";
    }
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable != nullptr && variable[0] != '\0') {
        home = variable;
    } else if (const passwd* user = ::getpwuid(::getuid()); user != nullptr) {
        home = user->pw_dir;
    }
    return home + "/.local/share/lumenpost/queue";
}

std::string QueueFolder::FolderOf(QueuePlace place) const {
    return place == QueuePlace::active ? path_ : path_ + "/failed";
}

std::string QueueFolder::DataPath(const std::string& id, QueuePlace place) const {
    return FolderOf(place) + "/" + id + ".data";
}

std::string QueueFolder::EnvelopePath(const std::string& id, QueuePlace place) const {
    return FolderOf(place) + "/" + id + ".env";
}

std::optional<std::string> QueueFolder::Prepare() const {
    if (auto failure = queue_files::MakePrivateFolder(FolderOf(QueuePlace::active))) {
        return failure;
    }
    return queue_files::MakePrivateFolder(FolderOf(QueuePlace::failed));
}

// Eleven base-36 digits of microseconds since the epoch (enough until the year 6000),
// strictly increasing within the process even when the clock stands still or goes
// back, then five base-36 digits drawn once per process, so that two processes
// writing in the same microsecond still differ. Fixed width: ids sort as they were made.
std::string QueueFolder::NewId() {
    static std::mutex mutex;
    static std::uint64_t last = 0;
    static pid_t owner = 0;
    static std::string suffix;
    const std::scoped_lock lock(mutex);
    if (owner != ::getpid()) { // first call, or a forked child
        owner = ::getpid();
        std::random_device random;
        const std::uint64_t draw = (std::uint64_t{random()} << 32) ^ random() ^ owner;
        suffix = Base36(draw % 60466176, 5); // 36^5
    }
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    last = std::max(last + 1, static_cast<std::uint64_t>(std::max<std::int64_t>(now, 0)));
    return Base36(last, 11) + suffix;
}

} // namespace lumenpost
