#include "app/command_line.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

ParsedCommandLine Parse(std::initializer_list<const char*> arguments) {
    QStringList list;
    for (const char* argument : arguments) {
        list.append(QString::fromUtf8(argument));
    }
    return ParseCommandLine(list);
}

TEST(CommandLine, NoArgumentsRunTheWindowOnTheDefaultAddress) {
    const ParsedCommandLine parsed = Parse({});
    EXPECT_TRUE(parsed.error.isEmpty());
    EXPECT_FALSE(parsed.options.headless);
    EXPECT_FALSE(parsed.options.listen);
    EXPECT_TRUE(parsed.options.allowFrom.empty());
}

TEST(CommandLine, ReadsEveryOptionInBothForms) {
    const ParsedCommandLine parsed =
        Parse({"--headless", "--listen", "127.0.0.1:2525", "--allow-from=10.0.0.0/8",
               "--allow-from", "192.168.7.9", "--help", "--version"});
    ASSERT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString();
    const CommandLineOptions& options = parsed.options;
    EXPECT_TRUE(options.headless && options.help && options.version);
    ASSERT_TRUE(options.listen);
    EXPECT_EQ(options.listen->address, "127.0.0.1");
    EXPECT_EQ(options.listen->port, "2525");
    ASSERT_EQ(options.allowFrom.size(), 2u);
    EXPECT_EQ(options.allowFrom[0].ToString(), "10.0.0.0/8");
    EXPECT_TRUE(parsed.warnings.isEmpty());
    EXPECT_EQ(options.allowFrom[1].ToString(), "192.168.7.9/32");
    EXPECT_EQ(Parse({"--listen=0.0.0.0:smtp"}).options.listen->port, "smtp");
    EXPECT_EQ(Parse({"--password-file", "/run/pw"}).options.passwordFile, "/run/pw");
    EXPECT_EQ(Parse({"--password-file=/run/pw"}).options.passwordFile, "/run/pw");
    EXPECT_FALSE(Parse({"--password-file"}).error.isEmpty());
    EXPECT_FALSE(Parse({"--password-file="}).error.isEmpty());
}

TEST(CommandLine, QueueCommandsBecomeOneRequestForTheRelay) {
    EXPECT_EQ(Parse({"--queue"}).options.queueCommand, "QUEUE");
    EXPECT_EQ(Parse({"--retry"}).options.queueCommand, "RETRY");
    EXPECT_EQ(Parse({"--retry", "0abc9"}).options.queueCommand, "RETRY 0abc9");
    EXPECT_EQ(Parse({"--retry", "--headless"}).options.queueCommand, "RETRY");
    EXPECT_EQ(Parse({"--resend", "0abc9"}).options.queueCommand, "RESEND 0abc9");
    EXPECT_EQ(Parse({"--delete", "0abc9"}).options.queueCommand, "DELETE 0abc9");
    // An id is letters and digits only: nothing else reaches the relay's channel.
    EXPECT_FALSE(Parse({"--delete"}).error.isEmpty());
    EXPECT_FALSE(Parse({"--delete", "../x"}).error.isEmpty());
    EXPECT_FALSE(Parse({"--resend", "a b"}).error.isEmpty());
    EXPECT_FALSE(Parse({"--queue", "--delete", "x1"}).error.isEmpty());
}

TEST(CommandLine, RejectsWhatItCannotUse) {
    for (auto arguments : {std::initializer_list<const char*>{"--listen"},
                           {"--listen", "127.0.0.1"},
                           {"--listen", "127.0.0.1:0"},
                           {"--listen", "127.0.0.1:65536"},
                           {"--listen", "localhost:25"},
                           {"--listen", "127.0.0.1:-5"},
                           {"--listen", "127.0.0.1:sm tp"},
                           {"--allow-from", "10.0.0.0/33"},
                           {"--allow-from", "10.0.0/8"},
                           {"--allow-from", "10.0.0.0/"},
                           {"--allow-from", "10.0.0.0/+8"},
                           {"--allow-from", "010.0.0.1"},
                           {"--allow-from"},
                           {"--frobnicate"},
                           {"-h"}}) {
        const ParsedCommandLine parsed = Parse(arguments);
        EXPECT_FALSE(parsed.error.isEmpty()) << *arguments.begin();
    }
    EXPECT_EQ(Parse({"--allow-from", "1.2.3"}).error,
              "--allow-from needs an IPv4 network such as 192.168.1.0/24 or one address such as "
              "10.0.0.7; got '1.2.3'");
}

TEST(CommandLine, NetworksWithHostBitsAreRefusedAndWideOnesWarned) {
    EXPECT_EQ(Parse({"--allow-from", "10.0.0.1/8"}).error,
              "--allow-from 10.0.0.1/8 has host bits set: write the network as 10.0.0.0/8, or "
              "the one address as 10.0.0.1");
    for (const char* wide : {"0.0.0.0/0", "64.0.0.0/2", "10.0.0.0/7"}) {
        const ParsedCommandLine parsed = Parse({"--allow-from", wide});
        EXPECT_TRUE(parsed.error.isEmpty()) << wide;
        ASSERT_EQ(parsed.warnings.size(), 1) << wide;
        EXPECT_TRUE(parsed.warnings[0].contains(u"open relay")) << wide;
    }
    EXPECT_TRUE(Parse({"--allow-from", "10.0.0.0/8"}).warnings.isEmpty());
}

TEST(Ipv4Network, ContainsExactlyItsAddresses) {
    const auto network = Ipv4Network::Parse("192.168.1.77/24");
    ASSERT_TRUE(network);
    EXPECT_TRUE(network->Contains(*ParseIpv4("192.168.1.0")));
    EXPECT_TRUE(network->Contains(*ParseIpv4("192.168.1.255")));
    EXPECT_FALSE(network->Contains(*ParseIpv4("192.168.2.1")));
    const auto everything = Ipv4Network::Parse("0.0.0.0/0");
    ASSERT_TRUE(everything);
    EXPECT_TRUE(everything->Contains(*ParseIpv4("203.0.113.9")));
    const auto one = Ipv4Network::Parse("10.0.0.7");
    ASSERT_TRUE(one);
    EXPECT_TRUE(one->Contains(*ParseIpv4("10.0.0.7")));
    EXPECT_FALSE(one->Contains(*ParseIpv4("10.0.0.6")));
}

} // namespace
} // namespace lumenpost
