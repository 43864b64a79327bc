// Tones for the live tests and tools: writing them, and measuring what was
// recorded as a listener would (which tone, how loud).
#ifndef NIMBREL_TESTS_LINUX_TONE_H_
#define NIMBREL_TESTS_LINUX_TONE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace live {

/// A stereo s16 WAV at 48 kHz of a sine of `amplitude` (of 32767), a whole
/// number of periods per second; its first `silent` seconds are silence.
void writeTone(const std::string& path, double frequency, int amplitude,
               int seconds, int silent = 0);
/// A mono s16 WAV of `pcm` at `rate`.
void writeWav(const std::string& path, const std::vector<int16_t>& pcm,
              uint32_t rate);

/// s16le bytes as samples.
std::vector<int16_t> samples(std::string_view pcm);
/// The amplitude of the `frequency` component (a pure tone of amplitude A
/// measures about A), over whole periods of `rate`-Hz samples.
double toneAmplitude(const std::vector<int16_t>& pcm, double frequency,
                     double rate);
/// The `frequency` tone's amplitude in the median 20 ms window of `pcm` (its
/// period must divide 20 ms).
double medianWindowAmplitude(const std::vector<int16_t>& pcm, double frequency,
                             double rate);
/// How many `windowMs` windows of `pcm` hold the `frequency` tone below half
/// of `amplitude`: what a listener hears as a drop-out. The tone's period
/// must divide the window (20 ms: a multiple of 50 Hz).
int quietWindows(const std::vector<int16_t>& pcm, double frequency, double rate,
                 double amplitude, int windowMs = 20);
/// The RMS of each whole `window`-sample window of `pcm` from its start; a
/// partial window at the end is left out.
std::vector<double> windowLevels(const std::vector<int16_t>& pcm,
                                 size_t window);
/// The frequency of the loudest tone between 50 Hz and 5 kHz, to 1 Hz.
double dominantFrequency(const std::vector<int16_t>& pcm, double rate);

}  // namespace live

#endif  // NIMBREL_TESTS_LINUX_TONE_H_
