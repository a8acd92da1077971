#pragma once

#include "queue/queue_folder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace lumenpost {

// A prepared queue folder of the running test's own, removed afterwards.
class TempQueue {
public:
    TempQueue()
        : root_(std::filesystem::temp_directory_path() /
                ("queue-" + std::to_string(::getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name())),
          folder_(root_.string()) {
        std::filesystem::remove_all(root_);
        EXPECT_EQ(folder_.Prepare(), std::nullopt);
    }
    ~TempQueue() { std::filesystem::remove_all(root_); }
    TempQueue(const TempQueue&) = delete;
    TempQueue& operator=(const TempQueue&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    const QueueFolder& Folder() const { return folder_; }

private:
    std::filesystem::path root_;
    QueueFolder folder_;
};

} // namespace lumenpost
