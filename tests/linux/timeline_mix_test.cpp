// The per-stream mix on the sink's clock: placement once, sums, silence where
// nothing plays, late frames spent rather than shifted.
#include "audio/linux/timeline_mix.h"

#include <gtest/gtest.h>

#include <vector>

namespace audio::pulse {
namespace {

std::vector<float> frames(std::initializer_list<float> values) {
  return values;
}

TEST(TimelineMix, ClockAloneGivesSilenceHoldBackFramesLate) {
  TimelineMix mix(2, 1 << 20);
  std::vector<float> out;
  mix.clockFrames(1, out);
  EXPECT_TRUE(out.empty()) << "still inside the hold-back";
  mix.clockFrames(4, out);
  EXPECT_EQ(out, frames({0, 0, 0}));
  mix.clockFrames(3, out);
  EXPECT_EQ(out.size(), 6u) << "every clock frame becomes one output frame";
}

TEST(TimelineMix, SourcesLandWhereTheyArrivedAndAreSummed) {
  TimelineMix mix(2, 1 << 20);
  std::vector<float> out;
  mix.clockFrames(4, out);  // 0 1 emitted
  const std::vector<float> a{1, 1, 1, 1};
  mix.sourceFrames(7, a.data(), 2);  // placed at 2 and 3
  const std::vector<float> b{0.5f, 0.5f};
  mix.sourceFrames(9, b.data(), 1);  // placed at 3
  mix.sourceFrames(7, a.data(), 2);  // 4 and 5, straight after
  mix.clockFrames(4, out);           // 2..5 due
  EXPECT_EQ(out, frames({0, 0, 1, 1.5f, 1, 1}));
}

// A source that brought nothing for a while (a paused player) is placed
// again where the clock is, not lost in the past for good.
TEST(TimelineMix, SourceWhoseFramesAllCameLateIsPlacedAgain) {
  TimelineMix mix(1, 1 << 20);
  std::vector<float> out;
  const std::vector<float> ones(8, 1.0f);
  mix.sourceFrames(1, ones.data(), 2);  // placed at -2 → clamped to 0, 1
  mix.clockFrames(3, out);              // 0 and 1 due
  EXPECT_EQ(out, frames({1, 1}));
  mix.clockFrames(3, out);  // 2..4 due: the source brought nothing for them
  EXPECT_EQ(out, frames({1, 1, 0, 0, 0}));
  const std::vector<float> twos(2, 2.0f);
  mix.sourceFrames(1, twos.data(), 2);  // meant for 2 and 3: already gone
  mix.clockFrames(2, out);
  EXPECT_EQ(out, frames({1, 1, 0, 0, 0, 2, 2}));
  mix.sourceFrames(1, twos.data(), 2);  // on time again: straight after
  mix.clockFrames(2, out);
  EXPECT_EQ(out, frames({1, 1, 0, 0, 0, 2, 2, 2, 2}));
}

TEST(TimelineMix, EndedSourceIsMixedToItsLastFrameThenForgotten) {
  TimelineMix mix(0, 1 << 20);
  std::vector<float> out;
  mix.clockFrames(2, out);
  const std::vector<float> ones(3, 1.0f);
  mix.sourceFrames(4, ones.data(), 3);  // placed at 0, clamped to 2..4
  mix.endSource(4);
  EXPECT_EQ(mix.sourceCount(), 1u);
  mix.clockFrames(2, out);
  EXPECT_EQ(mix.sourceCount(), 1u) << "one frame still to come";
  mix.clockFrames(2, out);
  EXPECT_EQ(out, frames({0, 0, 1, 1, 1, 0}));
  EXPECT_EQ(mix.sourceCount(), 0u);
}

TEST(TimelineMix,
     StoppedClockBoundsWhatSourcesHoldAndTheyStartOverWhenItMoves) {
  // The clock stream died while two players' streams live on.
  TimelineMix mix(2, 100);
  std::vector<float> out;
  mix.clockFrames(10, out);  // 0..7 emitted
  const std::vector<float> piece(30, 1.0f);
  for (int i = 0; i < 1000; ++i) {
    mix.sourceFrames(1, piece.data(), piece.size());
    mix.sourceFrames(2, piece.data(), piece.size());
    ASSERT_LE(mix.heldFrames(), 2u * (100 + 30)) << "after " << i;
  }
  mix.clockFrames(30, out);  // 8..37 due: both there, from the first frame
  std::vector<float> expected(8, 0.0f);
  expected.resize(38, 2.0f);
  EXPECT_EQ(out, expected);
}

TEST(TimelineMix, LongRunKeepsOneOutputFramePerClockFrame) {
  // Sources arriving in uneven pieces never change the output's length:
  // the clock alone decides it, so nothing drifts.
  TimelineMix mix(480, 1 << 20);
  std::vector<float> out;
  const std::vector<float> piece(1000, 0.25f);
  int64_t clock = 0;
  for (int cycle = 0; cycle < 500; ++cycle) {
    mix.sourceFrames(1, piece.data(), size_t(200 + cycle % 7 * 100));
    mix.clockFrames(960, out);
    clock += 960;
  }
  EXPECT_EQ(int64_t(out.size()), clock - 480);
}

}  // namespace
}  // namespace audio::pulse
