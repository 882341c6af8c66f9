#include "config/flash_config.h"

#include <tinyxml2.h>

#include <cstdint>
#include <limits>

#include "common/paths.h"
#include "common/text.h"
#include "config/xml_file.h"
#include "config/messages.h"

namespace tarnel {

namespace {

constexpr size_t kFlashAttributes = 5;  // name, type, page size, block size, ECC type

// The leading decimal integer of a trimmed text, held to the 32-bit range: a
// number too large for it reads as the limit (2147483647, or -2147483648 for
// a negative one), as the C library's conversion does with a 32-bit long.
int32_t LeadingInteger32(const std::string& text) {
  const long long value = LeadingInteger(Trim(text));
  constexpr long long kMin = std::numeric_limits<int32_t>::min();
  constexpr long long kMax = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value < kMin ? kMin : (value > kMax ? kMax : value));
}

}  // namespace

std::string FlashConfigPath(const std::string& appDir) {
  return appDir + "Config" + std::string(kSepStr) + "FlashConfig.xml";
}

int32_t ParseFlashSize(const std::string& text) {
  const std::string upper = ToUpperAscii(Trim(text));
  // The shifts work on the 32-bit pattern, so a value that does not fit keeps
  // its low 32 bits ("-4K" is -4096, "4194304K" wraps to 0) instead of
  // overflowing a signed integer.
  uint32_t bits = static_cast<uint32_t>(LeadingInteger32(upper));
  if (upper.find('K') != std::string::npos) bits <<= 10;
  if (upper.find('M') != std::string::npos) bits <<= 20;
  return static_cast<int32_t>(bits);
}

int32_t ParseFlashInteger(const std::string& text) { return LeadingInteger32(text); }

bool LoadFlashConfig(FlashTable& table, RunReporter& reporter, const std::string& path) {
  tinyxml2::XMLDocument doc;
  if (!config::LoadXmlFile(path, doc)) {
    reporter.Show(kMsgLoadFlashConfigFailed);
    return false;
  }
  const tinyxml2::XMLElement* root = doc.FirstChildElement();
  if (root == nullptr) {
    reporter.Show(kMsgReadFlashConfigFailed);
    return false;
  }
  for (const tinyxml2::XMLElement* entry = root->FirstChildElement(); entry != nullptr;
       entry = entry->NextSiblingElement()) {
    const std::vector<std::string> values = config::AttributesByPosition(*entry, kFlashAttributes);
    tagFlashData data;
    data.strFlashName = values[0];
    data.strFlashType = values[1];
    data.nPageSize = ParseFlashSize(values[2]);
    data.nBlockSize = ParseFlashSize(values[3]);
    data.nEccType = ParseFlashInteger(values[4]);
    table.push_back(std::move(data));
  }
  return true;
}

std::vector<std::string> FillFlashNameList(const std::string& path) {
  std::vector<std::string> names;
  tinyxml2::XMLDocument doc;
  if (!config::LoadXmlFile(path, doc)) return names;
  const tinyxml2::XMLElement* root = doc.FirstChildElement();
  if (root == nullptr || std::string_view(root->Name()) != kFlashConfigRoot) return names;
  for (const tinyxml2::XMLElement* entry = root->FirstChildElement(); entry != nullptr;
       entry = entry->NextSiblingElement()) {
    if (const tinyxml2::XMLAttribute* first = entry->FirstAttribute()) names.emplace_back(first->Value());
  }
  return names;
}

}  // namespace tarnel
