#include "system/alert_tones.h"

#include <gtest/gtest.h>

namespace lumenpost {
namespace {

constexpr std::size_t kSamplesPer100Ms = kToneSampleRate / 10;
constexpr const char* kMissingDevice = "lumenpost_no_such_device";

// Frequency from the zero crossings of a segment, each placed between the two samples
// around it. Samples of 0 carry no sign (the fades round to them) and are passed over.
double MeasuredFrequency(std::span<const std::int16_t> samples) {
    std::vector<double> crossings;
    std::size_t last = samples.size();
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i] == 0) {
            continue;
        }
        if (last != samples.size() && (samples[last] < 0) != (samples[i] < 0)) {
            const double before = samples[last];
            const double share = before / (before - samples[i]);
            crossings.push_back(static_cast<double>(last) + share * static_cast<double>(i - last));
        }
        last = i;
    }
    if (crossings.size() < 2) {
        return 0.0;
    }
    const double seconds = (crossings.back() - crossings.front()) / kToneSampleRate;
    return static_cast<double>(crossings.size() - 1) / (2.0 * seconds);
}

TEST(AlertTonesTest, PatternsHaveTheirFrequenciesForTheirDurations) {
    const std::vector<std::vector<double>> expected{{1047, 1109, 1175}, {2093, 1976, 1857}};
    for (int pattern = 0; pattern < 2; ++pattern) {
        SCOPED_TRACE(pattern);
        const std::vector<std::int16_t> samples = SynthesizeTones(AlertPattern(pattern));
        ASSERT_EQ(samples.size(), 3 * kSamplesPer100Ms);
        for (std::size_t tone = 0; tone < 3; ++tone) {
            const auto segment =
                std::span(samples).subspan(tone * kSamplesPer100Ms, kSamplesPer100Ms);
            EXPECT_NEAR(MeasuredFrequency(segment), expected[pattern][tone], 3.0) << tone;
            // Each tone fades in from and out to silence, so joining tones does not click.
            EXPECT_EQ(segment.front(), 0);
            EXPECT_EQ(segment.back(), 0);
        }
    }
    const std::vector<std::int16_t> low = SynthesizeTones(AlertPattern(2));
    ASSERT_EQ(low.size(), 5 * kSamplesPer100Ms);
    EXPECT_NEAR(MeasuredFrequency(low), 40.0, 1.0);
    EXPECT_TRUE(AlertPattern(3).empty());
}

TEST(AlertTonesTest, OutOfRangeFrequenciesAndEmptyDurationsHaveNoSamples) {
    EXPECT_EQ(ToneSampleCount({19, 100}), 0u);
    EXPECT_EQ(ToneSampleCount({5001, 100}), 0u);
    EXPECT_EQ(ToneSampleCount({1000, 0}), 0u);
    EXPECT_EQ(ToneSampleCount({1000, -1}), 0u);
    EXPECT_EQ(ToneSampleCount({20, 100}), kSamplesPer100Ms);
    EXPECT_EQ(ToneSampleCount({5000, 100}), kSamplesPer100Ms);
    const std::vector<TTone> silent{{10, 100}, {6000, 100}};
    EXPECT_TRUE(SynthesizeTones(silent).empty());
}

TEST(AlertTonesTest, RenderingInChunksGivesTheSameSamples) {
    const TTone tone{1109, 250};
    const std::vector<std::int16_t> whole = SynthesizeTones(std::span(&tone, 1));
    std::vector<std::int16_t> chunked(whole.size() + 100, 1);
    for (std::size_t first = 0; first < chunked.size(); first += 999) {
        const std::size_t length = std::min<std::size_t>(999, chunked.size() - first);
        RenderTone(tone, first, std::span(chunked).subspan(first, length));
    }
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), chunked.begin()));
    // Past the end of the tone there is silence.
    EXPECT_TRUE(std::all_of(chunked.begin() + static_cast<std::ptrdiff_t>(whole.size()),
                            chunked.end(), [](std::int16_t s) { return s == 0; }));
}

TEST(AlertTonesTest, TonesAreWrittenToADevice) {
    // ALSA's "null" device takes the samples and discards them, even without a sound card.
    EXPECT_TRUE(PlayTones(AlertPattern(0), "null"));
}

TEST(AlertTonesTest, WithoutADeviceTheTonesAreWaitedOutInSilence) {
    EXPECT_FALSE(PlayTones(AlertPattern(0), kMissingDevice));
    EXPECT_TRUE(PlayTones({}, kMissingDevice)); // nothing to play
    PlayAlert(1, kMissingDevice);
    PlayTone(1047, 20, kMissingDevice);
    PlayTone(1047, -7, kMissingDevice);
    PlayTone(10, 100000, kMissingDevice); // out of range: returns at once
}

} // namespace
} // namespace lumenpost
