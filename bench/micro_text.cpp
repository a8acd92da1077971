// Steps that need no socket: the data phase, both base64 directions and the DNS
// answer walk.
#include "delivery/base64.h"
#include "delivery/dns_message.h"
#include "sample_message.h"
#include "smtp_server/base64.h"
#include "smtp_server/message_data_reader.h"

#include <benchmark/benchmark.h>
#include <cstdint>

namespace lumenpost::bench {
namespace {

constexpr std::size_t kBlock = 64 * 1024;

void SetBytes(benchmark::State& state, std::size_t perIteration) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * perIteration));
}

void DataPhaseStep(benchmark::State& state) {
    const std::string block = SampleText(kBlock);
    MessageDataReader reader;
    reader.Start();
    for (auto _ : state) {
        benchmark::DoNotOptimize(reader.Take(block));
    }
    SetBytes(state, block.size());
}
BENCHMARK(DataPhaseStep);

void Base64Encode(benchmark::State& state) {
    const std::string octets = SampleText(kBlock);
    for (auto _ : state) {
        benchmark::DoNotOptimize(TextToBase64(octets));
    }
    SetBytes(state, octets.size());
}
BENCHMARK(Base64Encode);

void Base64DecodeDelivery(benchmark::State& state) {
    const std::string encoded = TextToBase64(SampleText(kBlock));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Base64ToText(encoded));
    }
    SetBytes(state, encoded.size());
}
BENCHMARK(Base64DecodeDelivery);

void Base64DecodeServer(benchmark::State& state) {
    const std::string encoded = TextToBase64(SampleText(kBlock));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Base64Decode(encoded));
    }
    SetBytes(state, encoded.size());
}
BENCHMARK(Base64DecodeServer);

// An answer with five compressed MX records for example.org.
std::string MxAnswer() {
    std::string message = BuildQuery(0x1234, "example.org", kDnsTypeMx);
    message[2] = static_cast<char>(0x81); // a response, recursion available
    message[3] = static_cast<char>(0x80);
    constexpr int kRecords = 5;
    message[7] = kRecords;
    for (int i = 0; i < kRecords; ++i) {
        const std::string exchange =
            std::string("\x03mx") + static_cast<char>('1' + i) + "\xc0\x0c";
        const auto length = static_cast<char>(2 + exchange.size());
        message += std::string("\xc0\x0c\x00\x0f\x00\x01\x00\x00\x0e\x10\x00", 11);
        message += length;
        message += std::string("\x00", 1) + static_cast<char>(10 * (i + 1));
        message += exchange;
    }
    return message;
}

void DnsAnswerWalk(benchmark::State& state) {
    const std::string message = MxAnswer();
    std::vector<std::string> results;
    std::int32_t responseCode = 0;
    for (auto _ : state) {
        results.clear();
        benchmark::DoNotOptimize(
            ReadAnswer(message, "example.org", kDnsTypeMx, results, responseCode));
    }
    if (results.size() != 5) {
        state.SkipWithError("the sample answer did not yield five exchangers");
    }
}
BENCHMARK(DnsAnswerWalk);

} // namespace
} // namespace lumenpost::bench
