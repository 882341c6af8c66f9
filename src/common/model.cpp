#include "common/model.h"

#include <cstring>
#include <utility>

#include "common/paths.h"
#include "common/text.h"

namespace tarnel {

std::string AppMembers::TempDir() const { return m_strAppDir + "Temp" + std::string(kSepStr); }

const tagFlashData* FindFlash(const FlashTable& table, std::string_view name) {
  for (const tagFlashData& entry : table)
    if (EqualsNoCase(entry.strFlashName, name)) return &entry;
  return nullptr;
}

KeyLines::KeyLines(LockedPages text, std::vector<std::string_view> lines)
    : text_(std::move(text)), lines_(std::move(lines)) {}

template <typename Lines>
void KeyLines::CopyFrom(const Lines& lines) {
  size_t total = 0;
  for (const auto& line : lines) total += line.size();
  LockedPages text(total);
  std::vector<std::string_view> views;
  if (total == 0 || text.size() != 0) {
    views.reserve(lines.size());
    size_t at = 0;
    for (const auto& line : lines) {
      if (line.empty()) {
        views.emplace_back();
        continue;
      }
      std::memcpy(text.data() + at, line.data(), line.size());
      views.emplace_back(text.data() + at, line.size());
      at += line.size();
    }
  }
  text_ = std::move(text);
  lines_ = std::move(views);
}

KeyLines::KeyLines(const std::vector<std::string>& lines) { CopyFrom(lines); }

KeyLines::KeyLines(const KeyLines& other) { CopyFrom(other.lines_); }

KeyLines& KeyLines::operator=(const KeyLines& other) {
  if (this != &other) CopyFrom(other.lines_);
  return *this;
}

KeyLines& KeyLines::operator=(KeyLines&& other) noexcept {
  if (this != &other) {
    text_ = std::move(other.text_);  // the old text is wiped here
    lines_ = std::move(other.lines_);
    other.lines_.clear();
  }
  return *this;
}

void KeyLines::Wipe(size_t i) {
  if (i >= lines_.size()) return;
  const std::string_view line = lines_[i];
  if (!line.empty()) OPENSSL_cleanse(text_.data() + (line.data() - text_.data()), line.size());
  lines_[i] = {};
}

void KeyLines::Truncate(size_t n) {
  for (size_t i = n; i < lines_.size(); ++i) Wipe(i);
  if (n < lines_.size()) lines_.resize(n);
}

void KeyLines::Clear() {
  text_.Release();
  lines_.clear();
}

bool operator==(const KeyLines& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < b.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace tarnel
