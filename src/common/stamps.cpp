#include "common/stamps.h"

#include <cstdlib>
#include <string>

namespace tarnel {

std::optional<std::time_t> SourceDateEpoch() {
  const char* env = std::getenv("SOURCE_DATE_EPOCH");
  if (env == nullptr || *env == '\0') return std::nullopt;
  unsigned long long value = 0;
  for (const char* p = env; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    if (value > 1000000000000ull) return std::nullopt;  // far beyond any calendar we print
    value = value * 10 + static_cast<unsigned>(*p - '0');
  }
  return static_cast<std::time_t>(value);
}

bool NowBrokenDown(std::tm& out) {
  if (const auto epoch = SourceDateEpoch()) return gmtime_r(&*epoch, &out) != nullptr;
  const std::time_t now = std::time(nullptr);
  return now != static_cast<std::time_t>(-1) && localtime_r(&now, &out) != nullptr;
}

Stamps TakeStamps() {
  std::tm tm {};
  int32_t hour = -1, minute = -1, second = -1, day = 0;
  if (NowBrokenDown(tm)) {
    hour = tm.tm_hour;
    minute = tm.tm_min;
    second = tm.tm_sec;
    day = tm.tm_mday;
  }
  // Plain two's-complement arithmetic, as the headers have always held it.
  const uint32_t h = static_cast<uint32_t>(hour) << 16;
  const uint32_t m = static_cast<uint32_t>(minute) << 8;
  Stamps s;
  s.stamp1 = h + m + static_cast<uint32_t>(day);
  s.stamp2 = h + m + static_cast<uint32_t>(second);
  return s;
}

}  // namespace tarnel
