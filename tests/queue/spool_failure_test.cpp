// A commit that fails for want of space leaves nothing of the message. The queue lives on
// a 64 KiB tmpfs mounted in a private mount namespace of a child process, so that the
// machine's mounts stay untouched; the child reports through a pipe and its exit status.
#include "queue/queue_folder.h"
#include "queue_test_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lumenpost {
namespace {

constexpr int kSkipped = 77;

Envelope OneRecipient(const std::string& id) {
    Envelope envelope;
    envelope.id = id;
    envelope.arrival = 1700000000;
    envelope.sender = "a@example.org";
    envelope.recipients = {QueuedRecipient::Pending("b@example.net")};
    return envelope;
}

// Fills the file system with 4 KiB blocks until it is full, then frees `freePages` pages.
bool FillDisk(const std::string& path, int freePages) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const std::string page(4096, 'f');
    off_t size = 0;
    while (::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size())) {
        size += 4096;
    }
    const bool full = errno == ENOSPC && size >= 4096 * freePages &&
                      ::ftruncate(fd, size - 4096 * freePages) == 0;
    ::close(fd);
    return full;
}

// The checks, in the child; what went wrong, or nothing.
std::string FailingCommitsLeaveNothing(const std::string& mountPoint) {
    const QueueFolder queue(mountPoint + "/queue");
    if (const auto failure = queue.Prepare()) {
        return "Prepare: " + *failure;
    }
    const auto leftovers = [&]() -> std::string {
        const auto active = queue_test::Names(queue.FolderOf(QueuePlace::active));
        const auto failed = queue_test::Names(queue.FolderOf(QueuePlace::failed));
        if (active != std::set<std::string>{"failed"} || !failed.empty()) {
            std::string names;
            for (const auto& name : active) {
                names += " " + name;
            }
            return "files left behind:" + names;
        }
        return {};
    };
    std::string error;

    // 1 MiB on 64 KiB: Append fails once the buffer is written, and stays failed.
    auto spool = queue.CreateSpool(QueueFolder::NewId(), error);
    if (spool == nullptr) {
        return "CreateSpool: " + error;
    }
    const std::string block(4096, 'x');
    int appended = 0;
    while (appended < 256 && spool->Append(block)) {
        ++appended;
    }
    if (appended == 256) {
        return "1 MiB fitted on a 64 KiB file system";
    }
    if (spool->Append("x")) {
        return "Append succeeded after a failed write";
    }
    const auto full = spool->Commit(OneRecipient(spool->Id()));
    if (!full || full->find(".data.tmp: No space left on device") == std::string::npos) {
        return "Commit after a failed write: " + full.value_or("no error");
    }
    if (auto left = leftovers(); !left.empty()) {
        return "after a failed Append: " + left;
    }
    spool.reset();

    // A small message that fits in the buffer: the write at Commit fails.
    const std::string filler = mountPoint + "/filler";
    if (!FillDisk(filler, 0)) {
        return "cannot fill the file system";
    }
    spool = queue.CreateSpool(QueueFolder::NewId(), error);
    if (spool == nullptr) {
        return "CreateSpool on a full disk: " + error;
    }
    if (!spool->Append("Subject: small\r\n\r\ntext\r\n")) {
        return "a buffered Append failed";
    }
    const auto flushFailed = spool->Commit(OneRecipient(spool->Id()));
    if (!flushFailed ||
        flushFailed->find(".data.tmp: No space left on device") == std::string::npos) {
        return "Commit of a buffered message on a full disk: " + flushFailed.value_or("no error");
    }
    if (auto left = leftovers(); !left.empty()) {
        return "after a failed flush: " + left;
    }

    // Room for the data but not for the envelope: the renamed data file goes too.
    if (!FillDisk(filler, 1)) {
        return "cannot fill the file system leaving one page";
    }
    spool = queue.CreateSpool(QueueFolder::NewId(), error);
    if (spool == nullptr || !spool->Append(std::string(4000, 'd'))) {
        return "spooling one page: " + error;
    }
    const auto envelopeFailed = spool->Commit(OneRecipient(spool->Id()));
    if (!envelopeFailed ||
        envelopeFailed->find(".env.tmp: No space left on device") == std::string::npos) {
        return "Commit without room for the envelope: " + envelopeFailed.value_or("no error");
    }
    if (auto left = leftovers(); !left.empty()) {
        return "after a failed envelope: " + left;
    }
    spool.reset();

    // With room again, a small message commits and is found.
    ::unlink(filler.c_str());
    spool = queue.CreateSpool(QueueFolder::NewId(), error);
    if (spool == nullptr || !spool->Append("Subject: fits\r\n\r\n")) {
        return "spooling with room: " + error;
    }
    const Envelope envelope = OneRecipient(spool->Id());
    if (const auto failure = spool->Commit(envelope)) {
        return "Commit with room: " + *failure;
    }
    const auto contents = queue.Load();
    if (contents.active != std::vector<Envelope>{envelope} || !contents.problems.empty()) {
        return "Load did not find exactly the committed message";
    }
    if (queue_test::ReadFile(queue.DataPath(envelope.id, QueuePlace::active)) !=
        "Subject: fits\r\n\r\n") {
        return "the committed data differ";
    }
    return {};
}

// In the child: a private mount namespace with a small tmpfs on `mountPoint`.
[[noreturn]] void RunInSmallTmpfs(const std::string& mountPoint, int report) {
    std::string result;
    int status = 0;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0700") !=
            0) {
        result = std::string("no private tmpfs here: ") + std::strerror(errno);
        status = kSkipped;
    } else {
        result = FailingCommitsLeaveNothing(mountPoint);
        status = result.empty() ? 0 : 1;
        ::umount(mountPoint.c_str());
    }
    [[maybe_unused]] const auto written = ::write(report, result.data(), result.size());
    ::_exit(status);
}

TEST(SpoolFailure, CommitOnAFullDiskLeavesNothing) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a tmpfs in a private mount namespace needs root";
    }
    const queue_test::TempFolder temp;
    ASSERT_FALSE(temp.Path().empty());
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ends[0]);
        RunInSmallTmpfs(temp.Path(), ends[1]);
    }
    ::close(ends[1]);
    const std::string report = queue_test::ReadToEnd(ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << report;
    if (WEXITSTATUS(status) == kSkipped) {
        GTEST_SKIP() << report;
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << report;
    // The mount was the child's own: the folder here is still empty.
    EXPECT_TRUE(queue_test::Names(temp.Path()).empty());
}

} // namespace
} // namespace lumenpost
