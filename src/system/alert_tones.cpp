#include "system/alert_tones.h"

#include "platform/tick.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <numbers>

namespace lumenpost {
namespace {

constexpr int kLowestFrequency = 20;
constexpr int kHighestFrequency = 5000;
constexpr int kSustainedToneMs = 1000;
constexpr std::size_t kFadeSamples = kToneSampleRate * 5 / 1000;
constexpr double kAmplitude = 12000.0;
constexpr std::size_t kChunkSamples = kToneSampleRate / 20;
constexpr unsigned kLatencyUs = 100000;
constexpr int kWriteAttempts = 5;

constexpr std::array<TTone, 3> kPattern0{{{1047, 100}, {1109, 100}, {1175, 100}}};
constexpr std::array<TTone, 3> kPattern1{{{2093, 100}, {1976, 100}, {1857, 100}}};
constexpr std::array<TTone, 1> kPattern2{{{40, 500}}};

// Gain of the fade at sample `index` of `count`: rises at the start, falls at the end.
double FadeGain(std::size_t index, std::size_t count) {
    const std::size_t ramp = std::min(kFadeSamples, count / 2);
    const std::size_t fromEnd = count - 1 - index;
    if (index < ramp) {
        return static_cast<double>(index) / static_cast<double>(ramp);
    }
    if (fromEnd < ramp) {
        return static_cast<double>(fromEnd) / static_cast<double>(ramp);
    }
    return 1.0;
}

std::int16_t ToneSample(int frequency, std::size_t index, std::size_t count) {
    // The phase in whole samples keeps its precision however long the tone lasts.
    const std::uint64_t cycle = static_cast<std::uint64_t>(frequency) * index % kToneSampleRate;
    const double angle = 2.0 * std::numbers::pi * static_cast<double>(cycle) / kToneSampleRate;
    const double value = kAmplitude * FadeGain(index, count) * std::sin(angle);
    return static_cast<std::int16_t>(std::lround(value));
}

std::size_t SampleCount(std::span<const TTone> tones) {
    std::size_t total = 0;
    for (const TTone& tone : tones) {
        total += ToneSampleCount(tone);
    }
    return total;
}

void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}

// A machine without sound is normal for a relay: no library chatter on stderr about it.
void QuietAlsaErrors() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&QuietAlsaError); });
}

// A playback stream in the tones' format, closed on destruction.
class PcmOutput {
public:
    explicit PcmOutput(const char* device) {
        QuietAlsaErrors();
        // A device that another program holds would block a plain open until it is free:
        // open without waiting, then write with waiting.
        if (snd_pcm_open(&Handle, device, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
            Handle = nullptr;
            return;
        }
        if (snd_pcm_nonblock(Handle, 0) < 0 ||
            snd_pcm_set_params(Handle, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                               kToneSampleRate, 1, kLatencyUs) < 0) {
            Close();
        }
    }
    ~PcmOutput() { Close(); }
    PcmOutput(const PcmOutput&) = delete;
    PcmOutput& operator=(const PcmOutput&) = delete;

    bool Opened() const { return Handle != nullptr; }

    // Blocks until all samples are queued; false when the device keeps failing.
    bool Write(std::span<const std::int16_t> samples) {
        int failures = 0;
        while (!samples.empty()) {
            snd_pcm_sframes_t written = snd_pcm_writei(Handle, samples.data(), samples.size());
            if (written < 0) {
                if (++failures == kWriteAttempts ||
                    snd_pcm_recover(Handle, static_cast<int>(written), 1) < 0) {
                    return false;
                }
                continue;
            }
            failures = 0;
            samples = samples.subspan(static_cast<std::size_t>(written));
        }
        return true;
    }

    void Drain() { snd_pcm_drain(Handle); }

private:
    void Close() {
        if (Handle != nullptr) {
            snd_pcm_close(Handle);
            Handle = nullptr;
        }
    }

    snd_pcm_t* Handle = nullptr;
};

// Sends the tones to the output chunk by chunk; returns how many samples it took.
std::size_t WriteTones(PcmOutput& output, std::span<const TTone> tones) {
    std::array<std::int16_t, kChunkSamples> chunk{};
    std::size_t written = 0;
    for (const TTone& tone : tones) {
        const std::size_t count = ToneSampleCount(tone);
        for (std::size_t first = 0; first < count; first += chunk.size()) {
            const auto part = std::span(chunk).first(std::min(chunk.size(), count - first));
            RenderTone(tone, first, part);
            if (!output.Write(part)) {
                return written;
            }
            written += part.size();
        }
    }
    output.Drain();
    return written;
}

} // namespace

std::span<const TTone> AlertPattern(int pattern) {
    switch (pattern) {
    case 0:
        return kPattern0;
    case 1:
        return kPattern1;
    case 2:
        return kPattern2;
    default:
        return {};
    }
}

std::size_t ToneSampleCount(const TTone& tone) {
    if (tone.Frequency < kLowestFrequency || tone.Frequency > kHighestFrequency ||
        tone.DurationMs <= 0) {
        return 0;
    }
    return static_cast<std::size_t>(tone.DurationMs) * kToneSampleRate / 1000;
}

void RenderTone(const TTone& tone, std::size_t first, std::span<std::int16_t> out) {
    const std::size_t count = ToneSampleCount(tone);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t index = first + i;
        out[i] = index < count ? ToneSample(tone.Frequency, index, count) : 0;
    }
}

std::vector<std::int16_t> SynthesizeTones(std::span<const TTone> tones) {
    std::vector<std::int16_t> samples(SampleCount(tones));
    auto rest = std::span(samples);
    for (const TTone& tone : tones) {
        const auto part = rest.first(ToneSampleCount(tone));
        RenderTone(tone, 0, part);
        rest = rest.subspan(part.size());
    }
    return samples;
}

bool PlayTones(std::span<const TTone> tones, const char* device) {
    const std::size_t total = SampleCount(tones);
    if (total == 0) {
        return true;
    }
    std::size_t played = 0;
    if (PcmOutput output(device); output.Opened()) {
        played = WriteTones(output, tones);
    }
    // Whatever could not be played is waited out, so the caller's timing stays the same.
    const std::size_t missing = total - played;
    SleepMs(static_cast<std::uint32_t>(missing * 1000 / kToneSampleRate));
    return missing == 0;
}

void PlayTone(int frequency, int durationMs, const char* device) {
    if (durationMs == -1) {
        durationMs = kSustainedToneMs;
    }
    const TTone tone{frequency, std::max(durationMs, 0)};
    PlayTones(std::span(&tone, 1), device);
}

void PlayAlert(int pattern, const char* device) {
    PlayTones(AlertPattern(pattern), device);
}

} // namespace lumenpost
