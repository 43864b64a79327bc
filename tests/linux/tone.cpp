// Tones for the live tests and tools: writing them, and measuring what was
// recorded as a listener would (which tone, how loud).
#include "tests/linux/tone.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <numeric>

namespace live {
namespace {
constexpr int kRate = 48000;
}  // namespace

void writeTone(const std::string& path, double frequency, int amplitude,
               int seconds, int silent) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) {
    out.write(reinterpret_cast<const char*>(&v), 4);
  };
  auto u16 = [&](uint16_t v) {
    out.write(reinterpret_cast<const char*>(&v), 2);
  };
  const uint32_t frames = kRate * uint32_t(seconds);
  out.write("RIFF", 4);
  u32(36 + frames * 4);
  out.write("WAVEfmt ", 8);
  u32(16), u16(1), u16(2), u32(kRate), u32(kRate * 4), u16(4), u16(16);
  out.write("data", 4);
  u32(frames * 4);
  std::vector<int16_t> second(kRate * 2);
  for (int i = 0; i < kRate; ++i) {
    const double phase = 2 * std::numbers::pi * frequency * i / kRate;
    second[2 * i] = second[2 * i + 1] =
        int16_t(std::lround(amplitude * std::sin(phase)));
  }
  const std::vector<int16_t> quiet(second.size(), 0);
  for (int s = 0; s < seconds; ++s) {
    out.write(
        reinterpret_cast<const char*>((s < silent ? quiet : second).data()),
        std::streamsize(second.size() * 2));
  }
}

void writeWav(const std::string& path, const std::vector<int16_t>& pcm,
              uint32_t rate) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) {
    out.write(reinterpret_cast<const char*>(&v), 4);
  };
  auto u16 = [&](uint16_t v) {
    out.write(reinterpret_cast<const char*>(&v), 2);
  };
  const auto bytes = uint32_t(pcm.size() * 2);
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16), u16(1), u16(1), u32(rate), u32(rate * 2), u16(2), u16(16);
  out.write("data", 4);
  u32(bytes);
  out.write(reinterpret_cast<const char*>(pcm.data()), bytes);
}

std::vector<int16_t> samples(std::string_view pcm) {
  std::vector<int16_t> out(pcm.size() / 2);
  std::memcpy(out.data(), pcm.data(), out.size() * 2);
  return out;
}

double toneAmplitude(const std::vector<int16_t>& pcm, double frequency,
                     double rate) {
  // Whole periods only, so other tones and the tone itself do not leak.
  const auto period =
      size_t(std::lround(rate / std::gcd(int(rate), int(frequency))));
  const size_t n = period > 0 ? pcm.size() / period * period : 0;
  if (n == 0) return 0;
  double s = 0, c = 0;
  for (size_t i = 0; i < n; ++i) {
    const double phase = 2 * std::numbers::pi * frequency * double(i) / rate;
    s += pcm[i] * std::sin(phase);
    c += pcm[i] * std::cos(phase);
  }
  return 2 * std::hypot(s, c) / double(n);
}

namespace {

// The `frequency` tone's amplitude in each `ms` window of `pcm`.
std::vector<double> windowAmplitudes(const std::vector<int16_t>& pcm,
                                     double frequency, double rate,
                                     int ms = 20) {
  const auto window = size_t(rate * ms / 1000);
  std::vector<double> amplitudes;
  for (size_t at = 0; at + window <= pcm.size(); at += window) {
    const std::vector<int16_t> part(pcm.begin() + long(at),
                                    pcm.begin() + long(at + window));
    amplitudes.push_back(toneAmplitude(part, frequency, rate));
  }
  return amplitudes;
}

}  // namespace

double medianWindowAmplitude(const std::vector<int16_t>& pcm, double frequency,
                             double rate) {
  std::vector<double> amplitudes = windowAmplitudes(pcm, frequency, rate);
  if (amplitudes.empty()) return 0;
  const auto middle = amplitudes.begin() + long(amplitudes.size() / 2);
  std::nth_element(amplitudes.begin(), middle, amplitudes.end());
  return *middle;
}

int quietWindows(const std::vector<int16_t>& pcm, double frequency, double rate,
                 double amplitude, int windowMs) {
  int quiet = 0;
  for (double level : windowAmplitudes(pcm, frequency, rate, windowMs))
    quiet += level < amplitude / 2;
  return quiet;
}

std::vector<double> windowLevels(const std::vector<int16_t>& pcm,
                                 size_t window) {
  std::vector<double> levels;
  for (size_t at = 0; window > 0 && pcm.size() - at >= window; at += window) {
    double sum = 0;
    for (size_t i = at; i < at + window; ++i) sum += double(pcm[i]) * pcm[i];
    levels.push_back(std::sqrt(sum / double(window)));
  }
  return levels;
}

double dominantFrequency(const std::vector<int16_t>& pcm, double rate) {
  const std::vector<int16_t> second(
      pcm.begin(), pcm.begin() + std::min(pcm.size(), size_t(rate)));
  auto level = [&](double f) {
    double s = 0, c = 0;
    for (size_t i = 0; i < second.size(); ++i) {
      const double phase = 2 * std::numbers::pi * f * double(i) / rate;
      s += second[i] * std::sin(phase);
      c += second[i] * std::cos(phase);
    }
    return std::hypot(s, c);
  };
  double best = 0, bestLevel = -1;
  for (double f = 50; f <= 5000; f += 10) {
    if (double l = level(f); l > bestLevel) best = f, bestLevel = l;
  }
  const double coarse = best;
  for (double f = coarse - 10; f <= coarse + 10; f += 1) {
    if (double l = level(f); l > bestLevel) best = f, bestLevel = l;
  }
  return best;
}

}  // namespace live
