#include "config/burn_config.h"

#include <limits>
#include <optional>

#include "common/files.h"
#include "common/paths.h"
#include "common/text.h"

namespace tarnel {

namespace {

constexpr const char* kSection = "BurnConfig";
constexpr const char* kMemoryKey = "Memory";
constexpr int32_t kDefaultJavaMemory = 1;
constexpr size_t kMaxIniLine = 64 * 1024;
constexpr size_t kMaxIniLines = 100000;

// The value of `key` in the first section named `section` (names compared
// ignoring case, blanks around names and values ignored, CR LF or LF line
// ends, ';' and '#' start comment lines), or nothing.
std::optional<std::string> ReadIniValue(const std::string& path, std::string_view section, std::string_view key) {
  InFile file;
  if (!file.Open(path)) return std::nullopt;
  bool inSection = false;
  bool sectionSeen = false;
  std::string raw;
  for (size_t n = 0; n < kMaxIniLines && file.ReadFullLine(raw, kMaxIniLine); ++n) {
    std::string_view view = raw;
    if (n == 0 && view.substr(0, 3) == "\xEF\xBB\xBF") view.remove_prefix(3);
    const std::string line = Trim(view);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      if (close == std::string::npos) continue;
      // Only the first section of that name counts.
      if (inSection) return std::nullopt;
      inSection = !sectionSeen && EqualsNoCase(Trim(std::string_view(line).substr(1, close - 1)), section);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    if (!inSection) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (!EqualsNoCase(Trim(std::string_view(line).substr(0, eq)), key)) continue;
    std::string value = Trim(std::string_view(line).substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ReadSigningSetting(const std::string& appDir, std::string_view key) {
  const std::string path = (appDir.empty() ? std::string() : WithTrailingSep(appDir)) + kBurnConfigName;
  return ReadIniValue(path, kSigningSection, key);
}

int32_t ReadJavaMemory(const std::string& appDir) {
  const std::string path = (appDir.empty() ? std::string() : WithTrailingSep(appDir)) + kBurnConfigName;
  const std::optional<std::string> value = ReadIniValue(path, kSection, kMemoryKey);
  if (!value) return kDefaultJavaMemory;
  // A value that is not a number reads as its leading digits, or 0.
  const long long memory = LeadingInteger(*value);
  constexpr long long kMin = std::numeric_limits<int32_t>::min();
  constexpr long long kMax = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(memory < kMin ? kMin : (memory > kMax ? kMax : memory));
}

std::string ReadSignerSetting(const std::string& appDir) {
  const std::string path = (appDir.empty() ? std::string() : WithTrailingSep(appDir)) + kBurnConfigName;
  return ReadIniValue(path, kSigningSection, kSignerKey).value_or(std::string());
}

std::string ReadArchiveKeySetting(const std::string& appDir) {
  const std::string path = (appDir.empty() ? std::string() : WithTrailingSep(appDir)) + kBurnConfigName;
  return ReadIniValue(path, kSigningSection, kArchiveKeyKey).value_or(std::string());
}

std::optional<ArchiveSigner> ParseArchiveSigner(std::string_view text) {
  if (EqualsNoCase(text, "native")) return ArchiveSigner::Native;
  if (EqualsNoCase(text, "java")) return ArchiveSigner::Java;
  if (EqualsNoCase(text, "native-parallel")) return ArchiveSigner::NativeParallel;
  return std::nullopt;
}

const char* ArchiveSignerName(ArchiveSigner signer) {
  switch (signer) {
    case ArchiveSigner::Native:
      return "native";
    case ArchiveSigner::Java:
      return "java";
    case ArchiveSigner::NativeParallel:
      return "native-parallel";
  }
  return "native";
}

ArchiveSigner ReadArchiveSignerSetting(const std::string& appDir) {
  const std::string path = (appDir.empty() ? std::string() : WithTrailingSep(appDir)) + kBurnConfigName;
  const std::optional<std::string> value = ReadIniValue(path, kSigningSection, kArchiveKey);
  return value ? ParseArchiveSigner(*value).value_or(ArchiveSigner::Native) : ArchiveSigner::Native;
}

std::optional<HeaderPaths> ParseHeaderPaths(std::string_view text) {
  if (EqualsNoCase(text, "full")) return HeaderPaths::Full;
  if (EqualsNoCase(text, "name")) return HeaderPaths::Name;
  return std::nullopt;
}

HeaderPaths ReadHeaderPathsSetting(const std::string& appDir) {
  const std::optional<std::string> value = ReadSigningSetting(appDir, kHeaderPathsKey);
  return value ? ParseHeaderPaths(*value).value_or(HeaderPaths::Full) : HeaderPaths::Full;
}

}  // namespace tarnel
