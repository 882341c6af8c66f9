// Path texts. Folders end with the platform separator and paths are built by
// plain concatenation, exactly as the rest of the system expects.
#pragma once

#include <string>
#include <string_view>

namespace tarnel {

#ifdef _WIN32
inline constexpr char kSep = '\\';
inline constexpr std::string_view kSepStr = "\\";
#else
inline constexpr char kSep = '/';
inline constexpr std::string_view kSepStr = "/";
#endif

// A separator on this platform (both '\\' and '/' on Windows, '/' elsewhere).
[[nodiscard]] bool IsSep(char c);
[[nodiscard]] bool HasSep(std::string_view path);
// The path up to and including its last separator; empty when it has none.
[[nodiscard]] std::string FolderPart(std::string_view path);
// The part after the last separator (the whole text when it has none).
[[nodiscard]] std::string AfterLastSep(std::string_view path);
// For texts read from partition table files: both '\\' and '/' count as
// separators on every platform, so tables written on Windows load here.
[[nodiscard]] std::string BareFileName(std::string_view path);
// Appends the separator unless the text already ends with one.
[[nodiscard]] std::string WithTrailingSep(std::string_view folder);

}  // namespace tarnel
