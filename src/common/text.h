// Text helpers: trimming, ASCII case folding, printf-style formatting.
#pragma once

#include <string>
#include <string_view>

namespace tarnel {

// White space as the C library sees it: space, \t, \n, \v, \f, \r.
[[nodiscard]] bool IsSpace(char c);
[[nodiscard]] std::string Trim(std::string_view s);

// "Ignoring case" means ASCII case folding; other bytes compare exactly.
[[nodiscard]] bool EqualsNoCase(std::string_view a, std::string_view b);
[[nodiscard]] bool StartsWithNoCase(std::string_view s, std::string_view prefix);
[[nodiscard]] std::string ToUpperAscii(std::string_view s);

[[nodiscard]] std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Leading decimal integer: white space, optional sign, digits up to the first
// non-digit; 0 when there are none. Saturates instead of overflowing.
[[nodiscard]] long long LeadingInteger(std::string_view s);

// Base-16 conversion of the leading hexadecimal digits (an optional "0x" is
// not accepted: only digits count); nothing valid gives 0.
[[nodiscard]] unsigned long long LeadingHex(std::string_view s);

}  // namespace tarnel
