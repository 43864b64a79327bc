// Per-stream monitors summed on the sink's timeline.
#include "audio/linux/timeline_mix.h"

#include <algorithm>
#include <limits>

namespace audio::pulse {

void TimelineMix::sourceFrames(uint32_t id, const float* frames, size_t count) {
  auto [entry, added] = sources_.try_emplace(id);
  Source& source = entry->second;
  const int64_t end = source.start + int64_t(source.held() + count);
  // Placed again where the clock is: a source new or back after its end; one
  // so far ahead that the clock has stopped (its stream died while this one
  // lives), whose frames would never come due; and one whose frames would
  // all land in the emitted past, because it stopped delivering for a while
  // (a paused player) and now plays again.
  if (added || source.ended || end > clock_ + maxAhead_ || end <= emitted_) {
    source.frames.clear();
    source.head = 0;
    source.ended = false;
    source.start = clock_ - int64_t(count);
    if (source.start < emitted_ && exact_) {
      const auto late =
          size_t(std::min<int64_t>(emitted_ - source.start, int64_t(count)));
      frames += late;
      count -= late;
      source.start = emitted_;
    }
    // Frames that would land on the already emitted past start at once.
    source.start = source.placed = std::max(source.start, emitted_);
  }
  source.frames.insert(source.frames.end(), frames, frames + count);
}

size_t TimelineMix::heldFrames() const {
  size_t held = 0;
  for (const auto& [id, source] : sources_) held += source.held();
  return held;
}

std::optional<int64_t> TimelineMix::placedAt(uint32_t id) const {
  const auto entry = sources_.find(id);
  if (entry == sources_.end() || entry->second.ended) return std::nullopt;
  return entry->second.placed;
}

std::optional<int64_t> TimelineMix::heldUntil(uint32_t id) const {
  const auto entry = sources_.find(id);
  if (entry == sources_.end()) return std::nullopt;
  const Source& source = entry->second;
  if (source.ended) return std::numeric_limits<int64_t>::max();
  return source.start + int64_t(source.held());
}

void TimelineMix::endSource(uint32_t id) {
  if (auto entry = sources_.find(id); entry != sources_.end())
    entry->second.ended = true;
}

void TimelineMix::skip(size_t count) {
  clock_ += int64_t(count);
  emitted_ = std::max(emitted_, clock_ - holdBack_);
}

void TimelineMix::clockFrames(size_t count, std::vector<float>& out,
                              int64_t ready) {
  clock_ += int64_t(count);
  const int64_t due = std::clamp(ready, clock_ - holdBack_, clock_);
  if (due <= emitted_) return;
  const size_t first = out.size();
  out.resize(first + size_t(due - emitted_), 0.0f);
  float* mix = out.data() + first;
  for (auto entry = sources_.begin(); entry != sources_.end();) {
    Source& source = entry->second;
    const int64_t from = std::max(source.start, emitted_);
    const int64_t to = std::min(source.start + int64_t(source.held()), due);
    const float* frames = source.frames.data() + source.head;
    for (int64_t t = from; t < to; ++t)
      mix[t - emitted_] += frames[t - source.start];
    // Frames before `due` are spent, whether they were mixed or came late.
    const int64_t spent =
        std::clamp<int64_t>(due - source.start, 0, int64_t(source.held()));
    source.head += size_t(spent);
    source.start += spent;
    // Moving what is left to the front once it is the smaller part keeps
    // the cost per frame constant.
    if (source.head * 2 >= source.frames.size()) {
      source.frames.erase(source.frames.begin(),
                          source.frames.begin() + long(source.head));
      source.head = 0;
    }
    if (source.ended && source.held() == 0) {
      entry = sources_.erase(entry);
    } else {
      ++entry;
    }
  }
  emitted_ = due;
}

}  // namespace audio::pulse
