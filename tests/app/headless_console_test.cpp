#include "app/headless_console.h"
#include "relay/relay_core.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace lumenpost {
namespace {

TEST(HeadlessConsole, PrintsEveryLogLineAndStatusAsItComes) {
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    ASSERT_NE(out, nullptr);
    {
        RelayCore core;
        HeadlessConsole console(core, out);
        core.SetStatus("正在接收并转发邮件...");
        core.AddRelayed("ok");
        core.AddFailed("bad", "550 5.1.1 no such user");
        core.AddDeferred("From:a@b.test/To:c@d.test/Retry:12:00:00/Reason:451 later");
    }
    std::fclose(out);
    const QString printed = QString::fromUtf8(buffer, static_cast<qsizetype>(size));
    std::free(buffer);
    EXPECT_EQ(printed, "status: 正在接收并转发邮件...\nokrelay: 1:ok\nbadrelay: 1:bad\n"
                       "reason: 550 5.1.1 no such user\n"
                       "deferred: From:a@b.test/To:c@d.test/Retry:12:00:00/Reason:451 later\n");
}

} // namespace
} // namespace lumenpost
