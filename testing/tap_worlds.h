// Simulated worlds for the tap's end-to-end tests, and the PCM the tap must
// write for them, computed by a plain reference of the conversion rules.
#ifndef NIMBREL_TESTING_TAP_WORLDS_H_
#define NIMBREL_TESTING_TAP_WORLDS_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "testing/e2e_harness.h"

namespace tapworld {

/// What a process plays at frame n counted from device start.
struct Signal {
  enum class Kind { kConstant, kRamp, kSquare };
  Kind kind = Kind::kConstant;
  double value = 0;
  double start = 0;
  double step = 0;
  uint64_t period = 1;

  double at(uint64_t n) const {
    switch (kind) {
      case Kind::kConstant:
        return value;
      case Kind::kRamp:
        return start + step * double(n % period);
      case Kind::kSquare:
        return 2 * (n % period) < period ? value : -value;
    }
    return 0;
  }
};

inline Signal constant(double value) {
  return {Signal::Kind::kConstant, value, 0, 0, 1};
}
inline Signal ramp(double start, double step, uint64_t period) {
  return {Signal::Kind::kRamp, 0, start, step, period};
}
inline Signal square(double value, uint64_t period) {
  return {Signal::Kind::kSquare, value, 0, 0, period};
}

/// A double in JSON that reads back to the same value.
inline std::string number(double value) {
  char text[40];
  std::snprintf(text, sizeof(text), "%.17g", value);
  return text;
}

inline std::string signalJson(const Signal& s) {
  switch (s.kind) {
    case Signal::Kind::kConstant:
      return "{\"kind\":\"constant\",\"value\":" + number(s.value) + "}";
    case Signal::Kind::kRamp:
      return "{\"kind\":\"ramp\",\"start\":" + number(s.start) +
             ",\"step\":" + number(s.step) +
             ",\"period\":" + std::to_string(s.period) + "}";
    case Signal::Kind::kSquare:
      return "{\"kind\":\"square\",\"value\":" + number(s.value) +
             ",\"period\":" + std::to_string(s.period) + "}";
  }
  return "{}";
}

template <typename T>
std::string list(const std::vector<T>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ",";
    if constexpr (std::is_floating_point_v<T>) {
      out += number(values[i]);
    } else {
      out += std::to_string(values[i]);
    }
  }
  return out + "]";
}

/// A process that plays: object 100 + index, output running.
struct Player {
  int32_t pid;
  Signal signal;
};

/// The default output device (id 50, "speakers"), a second device (id 51,
/// "usb-dac") to switch to, a tap and what plays into it.
struct CaptureWorld {
  // Every member has an initializer, so tables can name only what differs.
  std::vector<Player> players{};
  std::string outputUID = "speakers";
  std::string otherUID = "usb-dac";
  double deviceRate = 48000;
  std::vector<uint32_t> inputStreams{};  // of the default output device
  std::string outputExtra{};  // more members of that device, leading comma
  double tapRate = 48000;
  bool isFloat = true;
  std::vector<uint32_t> tapBuffers{1};  // channels per buffer
  std::vector<double> gains{};          // per channel; missing ones are 1
  double speed = 1;
  std::string extra{};  // more top-level members, each with a leading comma

  uint32_t framesPerCycle() const { return 512; }

  std::string json() const {
    std::string processes = "[";
    for (size_t i = 0; i < players.size(); ++i) {
      if (i) processes += ",";
      processes +=
          "{\"object\":" + std::to_string(100 + i) +
          ",\"pid\":" + std::to_string(players[i].pid) +
          ",\"output\":true,\"signal\":" + signalJson(players[i].signal) + "}";
    }
    processes += "]";
    return "{\"processes\":" + processes +
           ",\"devices\":[{\"id\":50,\"uid\":" + e2e::quoted(outputUID) +
           ",\"rate\":" + number(deviceRate) +
           ",\"inputStreams\":" + list(inputStreams) + outputExtra +
           "},{\"id\":51,\"uid\":" + e2e::quoted(otherUID) +
           ",\"rate\":48000}]" +
           ",\"defaultOutput\":" + e2e::quoted(outputUID) +
           ",\"tap\":{\"rate\":" + number(tapRate) +
           ",\"float\":" + (isFloat ? "true" : "false") +
           ",\"buffers\":" + list(tapBuffers) + ",\"gains\":" + list(gains) +
           "}" + ",\"ioBufferFrames\":" + std::to_string(framesPerCycle()) +
           ",\"speed\":" + number(speed) + extra + "}";
  }
};

// ---- The conversion rules, written out plainly ---------------------------

/// One buffer as the I/O block reads it: its channel count and its samples,
/// as floats or as 16-bit integers.
struct SourceBuffer {
  uint32_t channels;
  std::vector<float> floats;
  std::vector<int16_t> ints;
};

inline int16_t quantize(float v) {
  if (v < 1.0f) {
    float t = std::max(v, -1.0f) * 32767.0f;
    return int16_t(std::trunc(t));
  }
  return 32767;  // 1.0 and above, and not-a-number
}

/// The samples of one cycle, or none when the cycle yields nothing.
inline std::vector<int16_t> convertByTheRules(
    const std::vector<SourceBuffer>& buffers, int64_t subDeviceInputChannels,
    bool isFloat) {
  if (buffers.empty()) return {};
  auto width = [](const SourceBuffer& b) -> int64_t {
    return b.channels == 0 ? 1 : b.channels;
  };
  const size_t last = buffers.size() - 1;
  size_t first = last;
  if (subDeviceInputChannels == 0) {
    first = 0;
  } else if (subDeviceInputChannels > 0) {
    int64_t total = 0;
    size_t walked = 0;
    while (walked < buffers.size() && total < subDeviceInputChannels) {
      total += width(buffers[walked++]);
    }
    if (total == subDeviceInputChannels && walked < buffers.size()) {
      first = walked;
    }
  }
  int64_t frames = -1;
  int64_t c = 0;
  for (size_t b = first; b < buffers.size(); ++b) {
    int64_t samples =
        int64_t(isFloat ? buffers[b].floats.size() : buffers[b].ints.size());
    int64_t count = samples / width(buffers[b]);
    frames = frames < 0 ? count : std::min(frames, count);
    c += width(buffers[b]);
  }
  if (frames < 1) return {};
  std::vector<int16_t> out(size_t(frames), 0);
  if (first == last) {
    const SourceBuffer& b = buffers[first];
    for (int64_t i = 0; i < frames; ++i) {
      if (isFloat) {
        float s = 0.0f;
        for (int64_t k = 0; k < c; ++k) s += b.floats[size_t(i * c + k)];
        out[size_t(i)] =
            c == 1 ? quantize(b.floats[size_t(i)]) : quantize(s / float(c));
      } else {
        int64_t s = 0;
        for (int64_t k = 0; k < c; ++k) s += b.ints[size_t(i * c + k)];
        int64_t a = s / c;  // truncates toward zero
        out[size_t(i)] = int16_t(std::clamp<int64_t>(a, -32768, 32767));
      }
    }
    return out;
  }
  std::vector<float> sum(size_t(frames), 0.0f);
  for (size_t bi = first; bi < buffers.size(); ++bi) {
    const SourceBuffer& b = buffers[bi];
    const int64_t w = width(b);
    for (int64_t i = 0; i < frames; ++i) {
      for (int64_t l = 0; l < w; ++l) {
        sum[size_t(i)] += isFloat ? b.floats[size_t(i * w + l)]
                                  : float(b.ints[size_t(i * w + l)]) / 32768.0f;
      }
    }
  }
  const float r = 1.0f / float(c);
  for (int64_t i = 0; i < frames; ++i)
    out[size_t(i)] = quantize(sum[size_t(i)] * r);
  return out;
}

/// What the tap writes for frames [0, frames) of `world` (a whole number of
/// cycles) when the processes of `excluded` are left out.
inline std::vector<int16_t> expectedPCM(const CaptureWorld& world,
                                        uint64_t frames,
                                        const std::vector<int32_t>& excluded) {
  const uint32_t perCycle = world.framesPerCycle();
  std::vector<double> gains = world.gains;
  uint32_t tapChannels = 0;
  for (uint32_t c : world.tapBuffers) tapChannels += c;
  gains.resize(tapChannels, 1.0);
  int64_t subDeviceInputChannels = 0;
  for (uint32_t c : world.inputStreams) subDeviceInputChannels += c;

  std::vector<int16_t> pcm;
  for (uint64_t n0 = 0; n0 < frames; n0 += perCycle) {
    std::vector<SourceBuffer> buffers;
    for (uint32_t channels : world.inputStreams) {
      // Zero-filled float streams: as integers they read as twice the count.
      const size_t count = size_t(perCycle) * channels;
      buffers.push_back({channels, std::vector<float>(count, 0.0f),
                         std::vector<int16_t>(2 * count, 0)});
    }
    uint32_t firstChannel = 0;
    for (uint32_t channels : world.tapBuffers) {
      SourceBuffer b{channels, {}, {}};
      for (uint32_t f = 0; f < perCycle; ++f) {
        double mix = 0;
        for (const Player& p : world.players) {
          if (std::find(excluded.begin(), excluded.end(), p.pid) ==
              excluded.end()) {
            mix += p.signal.at(n0 + f);
          }
        }
        for (uint32_t k = 0; k < channels; ++k) {
          const double value = mix * gains[firstChannel + k];
          b.floats.push_back(float(value));
          b.ints.push_back(int16_t(
              std::clamp(std::trunc(value * 32767), -32768.0, 32767.0)));
        }
      }
      firstChannel += channels;
      buffers.push_back(std::move(b));
    }
    std::vector<int16_t> cycle =
        convertByTheRules(buffers, subDeviceInputChannels, world.isFloat);
    pcm.insert(pcm.end(), cycle.begin(), cycle.end());
  }
  pcm.resize(std::min<size_t>(pcm.size(), frames));
  return pcm;
}

/// Little-endian 16-bit samples from the bytes of the PCM stream.
inline std::vector<int16_t> samples(const std::string& bytes) {
  std::vector<int16_t> out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = int16_t(uint16_t(uint8_t(bytes[2 * i])) |
                     uint16_t(uint16_t(uint8_t(bytes[2 * i + 1])) << 8));
  }
  return out;
}

}  // namespace tapworld

#endif  // NIMBREL_TESTING_TAP_WORLDS_H_
