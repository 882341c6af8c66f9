// The two time stamps of the image headers. With SOURCE_DATE_EPOCH set to a
// non-negative integer they come from that instant in UTC, so that two runs
// over the same inputs give identical bytes; otherwise from the local time.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

namespace tarnel {

struct Stamps {
  uint32_t stamp1 = 0;  // (hour << 16) + (minute << 8) + day of month
  uint32_t stamp2 = 0;  // (hour << 16) + (minute << 8) + second
};

// The instant of SOURCE_DATE_EPOCH, when set to a non-negative integer.
[[nodiscard]] std::optional<std::time_t> SourceDateEpoch();
// Broken-down time of "now" (or of SOURCE_DATE_EPOCH in UTC); false when unavailable.
[[nodiscard]] bool NowBrokenDown(std::tm& out);
[[nodiscard]] Stamps TakeStamps();

}  // namespace tarnel
