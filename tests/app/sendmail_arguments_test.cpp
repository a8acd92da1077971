#include "app/command_line.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

using Strings = std::vector<std::string>;

ParsedCommandLine Parse(std::initializer_list<const char*> arguments) {
    QStringList list;
    for (const char* argument : arguments) {
        list.append(QString::fromUtf8(argument));
    }
    return ParseCommandLine(list);
}

SendmailOptions Options(std::initializer_list<const char*> arguments) {
    const ParsedCommandLine parsed = Parse(arguments);
    EXPECT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString();
    return parsed.options.sendmail.value_or(SendmailOptions{});
}

TEST(SendmailArguments, FlagsSenderAndRecipientsInEveryForm) {
    EXPECT_EQ(Options({"--sendmail", "a@b.test"}),
              (SendmailOptions{false, true, {}, {"a@b.test"}}));
    EXPECT_EQ(Options({"--sendmail", "-t", "-i"}), (SendmailOptions{true, false, {}, {}}));
    EXPECT_EQ(Options({"--sendmail", "-it", "-f", "s@a.test", "a@b.test", "Joe <c@d.test>"}),
              (SendmailOptions{true, false, "s@a.test", {"a@b.test", "Joe <c@d.test>"}}));
    EXPECT_EQ(Options({"--sendmail", "-oi", "-fs@a.test", "x@y.test"}),
              (SendmailOptions{false, false, "s@a.test", {"x@y.test"}}));
    // The null sender, however it is written.
    for (const char* empty : {"", "<>"}) {
        EXPECT_EQ(Options({"--sendmail", "-f", empty, "x@y.test"}).sender, "") << empty;
    }
    EXPECT_EQ(Options({"--sendmail", "-f<s@a.test>", "x@y.test"}).sender, "s@a.test");
    // The first argument that is no option ends them; "--" ends them before a "-".
    EXPECT_EQ(Options({"--sendmail", "x@y.test", "-t"}).recipients, (Strings{"x@y.test", "-t"}));
    EXPECT_EQ(Options({"--sendmail", "--", "-odd@y.test"}).recipients, Strings{"-odd@y.test"});
}

TEST(SendmailArguments, WrongArgumentsAreErrorsOfTheSendmailMode) {
    for (auto arguments : {std::initializer_list<const char*>{"--sendmail", "-x", "a@b.test"},
                           {"--sendmail", "-tx"},
                           {"--sendmail", "-o", "a@b.test"},
                           {"--sendmail", "-f"},
                           {"--sendmail", "--headless"}}) {
        const ParsedCommandLine parsed = Parse(arguments);
        EXPECT_FALSE(parsed.error.isEmpty()) << *(arguments.begin() + 1);
        EXPECT_TRUE(parsed.options.sendmail.has_value()); // so it ends with EX_USAGE
    }
    // Only as the first argument.
    const ParsedCommandLine late = Parse({"--headless", "--sendmail", "a@b.test"});
    EXPECT_TRUE(late.error.contains(QStringLiteral("first argument"))) << late.error.toStdString();
    EXPECT_FALSE(late.options.sendmail.has_value());
}

} // namespace
} // namespace lumenpost
