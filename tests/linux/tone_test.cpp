// The window levels that live_tool's lost-window check rests on: tones at
// multiples of 50 Hz sum to a known level in every 20 ms window.
#include "tests/linux/tone.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace {

constexpr double kRate = 48000;
constexpr size_t kWindow = 960;  // 20 ms

// `count` tones of amplitude 1000 at 300, 400, ... Hz, each at its own phase,
// with `gap` silent samples from `gapAt`.
std::vector<int16_t> mix(int count, size_t length, size_t gapAt = 0,
                         size_t gap = 0) {
  std::vector<int16_t> pcm(length);
  for (size_t i = 0; i < length; ++i) {
    double sum = 0;
    for (int k = 0; k < count; ++k) {
      sum += 1000 * std::sin(2 * std::numbers::pi * (300 + 100 * k) *
                                 double(i) / kRate +
                             k);
    }
    pcm[i] = i >= gapAt && i < gapAt + gap ? 0 : int16_t(std::lround(sum));
  }
  return pcm;
}

TEST(WindowLevels, KnownMixesAndGaps) {
  struct Case {
    const char* name;
    std::vector<int16_t> pcm;
    size_t windows;
    std::vector<size_t> belowHalf;  // windows under half of A*sqrt(n/2)
    int tones;
  };
  const std::vector<Case> cases = {
      {"one tone", mix(1, kWindow * 4), 4, {}, 1},
      {"15 tones, whatever their phases", mix(15, kWindow * 5), 5, {}, 15},
      {"a partial window at the end is left out",
       mix(2, kWindow * 3 + 500),
       3,
       {},
       2},
      {"a whole window of silence",
       mix(15, kWindow * 4, kWindow, kWindow),
       4,
       {1},
       15},
      {"silence across two windows, most of each",
       mix(2, kWindow * 4, kWindow + 20, kWindow * 2 - 40),
       4,
       {1, 2},
       2},
      {"too short for one window", mix(3, kWindow - 1), 0, {}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<double> levels = live::windowLevels(c.pcm, kWindow);
    ASSERT_EQ(levels.size(), c.windows);
    const double expected = 1000 * std::sqrt(c.tones / 2.0);
    std::vector<size_t> below;
    for (size_t w = 0; w < levels.size(); ++w) {
      if (levels[w] < expected / 2) {
        below.push_back(w);
      } else {
        EXPECT_NEAR(levels[w], expected, expected * 0.01) << "window " << w;
      }
    }
    EXPECT_EQ(below, c.belowHalf);
  }
  EXPECT_TRUE(live::windowLevels(mix(1, kWindow), 0).empty());
}

}  // namespace
