// The left-out players' places on the timeline, and the output picked by them.
#include "audio/linux/exclusion_gate.h"

#include <algorithm>
#include <cmath>

namespace audio::pulse {
void ExclusionGate::heard(int64_t from, int64_t to) {
  from -= margin_;
  to += margin_;
  if (!heard_.empty() && from <= heard_.back().second) {
    heard_.back().second = std::max(heard_.back().second, to);
  } else {
    heard_.emplace_back(from, to);
  }
}

void ExclusionGate::frames(int64_t from, const float* sum, size_t count,
                           int64_t known) {
  const int64_t end = from + int64_t(count);
  const int64_t unknown = std::clamp(known, from, end);
  for (int64_t t = from; t < unknown;) {
    if (std::fabs(sum[t - from]) <= kQuiet) {
      ++t;
      continue;
    }
    const int64_t start = t;
    while (t < unknown && std::fabs(sum[t - from]) > kQuiet) ++t;
    heard(start, t);
  }
  if (unknown < end) heard(unknown, end);
}

void ExclusionGate::pick(int64_t from, const float* monitor, const float* mix,
                         size_t count, float* out) {
  while (!heard_.empty() && heard_.front().second <= from) heard_.pop_front();
  const int64_t end = from + int64_t(count);
  int64_t t = from;
  for (const auto& [start, stop] : heard_) {
    if (start >= end) break;
    const int64_t a = std::max(start, t), b = std::min(stop, end);
    if (b <= a) continue;
    std::copy(monitor + (t - from), monitor + (a - from), out + (t - from));
    std::copy(mix + (a - from), mix + (b - from), out + (a - from));
    t = b;
  }
  std::copy(monitor + (t - from), monitor + (end - from), out + (t - from));
}

}  // namespace audio::pulse
