#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <span>

#include "engine/rescue/rescue_map.h"
#include "engine/run_control.h"
#include "engine/source_device.h"

namespace korvid {

// How long the scan may spend on the stretches its first pass could not read.
struct RetryLimits {
  unsigned Passes = 1;  // 0: the first pass only
  double MaxSeconds = std::numeric_limits<double>::infinity();
};

// Comes back for what the first pass left, the way GNU ddrescue does. The first time, it reads
// the stretches skipped, then closes in on each failed stretch from both ends sector by sector
// (the first failing sector met from each end is marked bad), then reads the sectors between
// one by one. Each later pass reads the bad sectors once more. A sector is tried again only by
// those later passes. It ends when the limits are spent or a stop is asked for. `fresh(offset,
// bytes)` receives every stretch read, and `tried(bytes)` is called after every read with the
// bytes tried so far, so that the caller may keep its progress.
void ComeBack(SourceDevice& source, RescueMap& map, const RetryLimits& limits, RunObserver& observer,
              const std::function<void(int64_t, std::span<const uint8_t>)>& fresh,
              const std::function<void(uint64_t)>& tried);

}  // namespace korvid
