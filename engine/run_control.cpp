#include "run_control.h"

#include <cstdint>

namespace korvid {

GaugeScale::GaugeScale(int64_t maximum, int64_t unit) : maximum_(maximum), divisor_(unit) {
  while (maximum_ / divisor_ > INT32_MAX) divisor_ *= 2;
}

int32_t GaugeScale::Value(int64_t progress) const {
  return static_cast<int32_t>(progress / divisor_);
}

std::optional<std::string> RemainingTime::Tick(int32_t progress, int32_t maximum) {
  ElapsedTicks += 1;
  const int32_t rate = progress / ElapsedTicks;
  if (rate == 0) return std::nullopt;
  const int32_t remaining = (maximum - progress) / rate;
  return std::string(RemainingTimeIdleText) + std::to_string(remaining / 60) + " : " +
         std::to_string(remaining % 60);
}

}  // namespace korvid
