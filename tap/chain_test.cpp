// Tests of the capture chain's pure parts: the stream-configuration sum, the
// aggregate device's UID and description.
#include "tap/chain.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

namespace tap {
namespace {

/// A stream configuration as the platform lays it out, cut to `size` bytes.
std::vector<std::byte> configuration(uint32_t numberBuffers,
                                     const std::vector<uint32_t>& channels,
                                     std::size_t size) {
  std::vector<std::byte> bytes(offsetof(audio::BufferList, buffers) +
                               channels.size() * sizeof(audio::Buffer));
  std::memcpy(bytes.data(), &numberBuffers, sizeof(numberBuffers));
  for (std::size_t i = 0; i < channels.size(); ++i) {
    audio::Buffer buffer{channels[i], 0, nullptr};
    std::memcpy(bytes.data() + offsetof(audio::BufferList, buffers) +
                    i * sizeof(audio::Buffer),
                &buffer, sizeof(buffer));
  }
  bytes.resize(size);
  return bytes;
}

TEST(Chain, StreamChannelsCountOnlyBuffersInsideTheReturnedSize) {
  constexpr std::size_t head = offsetof(audio::BufferList, buffers);
  constexpr std::size_t one = sizeof(audio::Buffer);
  struct Case {
    uint32_t numberBuffers;
    std::vector<uint32_t> channels;
    std::size_t size;
    int64_t expected;
  };
  const Case cases[] = {
      {0, {}, 0, 0},                      // nothing returned
      {2, {2, 2}, 3, 0},                  // not even the count fits
      {0, {}, head, 0},                   // no input streams
      {2, {2, 2}, head + 2 * one, 4},     // two stereo input streams
      {3, {1, 0, 2}, head + 3 * one, 3},  // a 0-channel stream adds 0
      {1, {2, 8}, head + 2 * one, 2},     // count below what fits
      {2, {2, 2}, head + one, 2},         // count beyond the size
      {0xFFFFFFFF, {1, 1, 1}, head + 3 * one, 3},
      {2, {2, 2}, head + one + one / 2, 2},  // a record cut in half
  };
  for (const Case& c : cases) {
    const std::vector<std::byte> bytes =
        configuration(c.numberBuffers, c.channels, c.size);
    EXPECT_EQ(sumStreamChannels(bytes), c.expected)
        << c.numberBuffers << " buffers in " << c.size << " bytes";
  }
}

TEST(Chain, AggregateUIDIsFreshUpperCaseVersion4UUID) {
  const std::regex form(
      "nimbrel-agg-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
      "[0-9A-F]{12}");
  const std::string first = makeAggregateUID();
  const std::string second = makeAggregateUID();
  EXPECT_TRUE(std::regex_match(first, form)) << first;
  EXPECT_TRUE(std::regex_match(second, form)) << second;
  EXPECT_NE(first, second);
}

std::string text(const audio::Dictionary& d, const char* key) {
  const audio::Value* value = d.find(key);
  if (value == nullptr) return "<absent>";
  const auto* s = std::get_if<std::string>(&value->v);
  return s ? *s : "<not a string>";
}

int flag(const audio::Dictionary& d, const char* key) {
  const audio::Value* value = d.find(key);
  if (value == nullptr) return -1;
  const bool* b = std::get_if<bool>(&value->v);
  return b ? int(*b) : -2;
}

TEST(Chain, AggregateDescriptionHasTheEightEntries) {
  const audio::Dictionary d =
      makeAggregateDescription("nimbrel-agg-X", "speakers/1", "tap-uid");
  std::vector<std::string> keys;
  for (const auto& [key, value] : d.entries) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"name", "uid", "master", "private",
                                            "stacked", "tapautostart",
                                            "subdevices", "taps"}));
  EXPECT_EQ(text(d, "name"), "Nimbrel Capture");
  EXPECT_EQ(text(d, "uid"), "nimbrel-agg-X");
  EXPECT_EQ(text(d, "master"), "speakers/1");
  EXPECT_EQ(flag(d, "private"), 1);
  EXPECT_EQ(flag(d, "stacked"), 0);
  EXPECT_EQ(flag(d, "tapautostart"), 1);

  const auto& subdevices =
      std::get<std::vector<audio::Dictionary>>(d.find("subdevices")->v);
  ASSERT_EQ(subdevices.size(), 1u);
  ASSERT_EQ(subdevices[0].entries.size(), 1u);
  EXPECT_EQ(text(subdevices[0], "uid"), "speakers/1");

  const auto& taps =
      std::get<std::vector<audio::Dictionary>>(d.find("taps")->v);
  ASSERT_EQ(taps.size(), 1u);
  ASSERT_EQ(taps[0].entries.size(), 2u);
  EXPECT_EQ(text(taps[0], "uid"), "tap-uid");
  EXPECT_EQ(flag(taps[0], "drift"), 1);
}

}  // namespace
}  // namespace tap
