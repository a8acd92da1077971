#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumenpost {

// Tones are 16-bit mono PCM at this rate, high enough for the top tone of 5000 Hz.
inline constexpr int kToneSampleRate = 44100;
inline constexpr const char* kAlertDevice = "default";

struct TTone {
    int Frequency = 0; // Hz; outside 20..5000 the tone is silent and takes no time
    int DurationMs = 0;
};

// The tones of alert pattern 0, 1 or 2; none for any other pattern.
std::span<const TTone> AlertPattern(int pattern);

// How many samples a tone has: none outside 20..5000 Hz or for durations of 0 or less.
std::size_t ToneSampleCount(const TTone& tone);

// Writes the samples of `tone` from sample number `first` on into `out`. Each tone starts
// at phase zero and fades in and out over a few milliseconds so that it does not click.
void RenderTone(const TTone& tone, std::size_t first, std::span<std::int16_t> out);

// The samples of the tones one after the other.
std::vector<std::int16_t> SynthesizeTones(std::span<const TTone> tones);

// Plays the tones on the ALSA device and returns when they have ended. Where the device
// cannot be opened or fails, the caller waits as long as the tones would have taken, in
// silence; the result is then false.
bool PlayTones(std::span<const TTone> tones, const char* device = kAlertDevice);

// One tone. A duration below -1 counts as 0. -1 asks for a tone that keeps sounding; as
// nothing would ever stop it, it sounds for one second instead and then returns.
void PlayTone(int frequency, int durationMs, const char* device = kAlertDevice);

// One alert pattern; the relay's failure alert is patterns 0, 1, 0.
void PlayAlert(int pattern, const char* device = kAlertDevice);

} // namespace lumenpost
