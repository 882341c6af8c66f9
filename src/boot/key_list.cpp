#include "boot/key_list.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/files.h"
#include "common/le.h"
#include "common/platform.h"
#include "common/text.h"
#include "boot/messages.h"

namespace tarnel {

namespace {

// A line without its line end (the carriage return before it included).
std::string StripLineEnd(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Reads the next line; at the end of the file an empty line. A line too long
// to be anything we expect comes back cut, never empty, so it cannot pass
// for a blank one.
std::string NextLine(InFile& file) {
  std::string line;
  (void)file.ReadFullLine(line);
  return StripLineEnd(std::move(line));
}

// The next line trimmed; the untrimmed copy is wiped.
std::string NextTrimmedLine(InFile& file) {
  std::string raw = NextLine(file);
  std::string line = Trim(raw);
  Cleanse(raw);
  return line;
}

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

uint8_t HexPair(std::string_view text, size_t pos) {
  if (pos >= text.size()) return 0;
  return static_cast<uint8_t>(LeadingHex(text.substr(pos, 2)) & 0xFF);
}

// Lines of a text held in memory, each with its line end removed.
class TextLines {
 public:
  explicit TextLines(std::string_view text) : text_(text) {}
  [[nodiscard]] bool AtEnd() const { return pos_ >= text_.size(); }
  // The next line without its '\n'; `ended` tells whether one was there.
  std::string_view Next(bool* ended = nullptr) {
    const size_t end = text_.find('\n', pos_);
    const size_t stop = end == std::string_view::npos ? text_.size() : end;
    const std::string_view line = text_.substr(pos_, stop - pos_);
    if (ended != nullptr) *ended = end != std::string_view::npos;
    pos_ = end == std::string_view::npos ? text_.size() : end + 1;
    return line;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

bool LoadKeyListFile(Workspace& ws, RunReporter& reporter, const std::string& path) {
  InFile file;
  if (!file.Open(path, true)) {
    const std::string why = WhyUnreadable(path);
    reporter.ShowDetail(kMsgLoadKeyListFailed, path + ": " + (why.empty() ? "cannot be opened" : why));
    return false;
  }
  // The text goes straight into pages of its own (the file's stdio buffer is
  // wiped when it closes); the lines are views into it, never copies.
  const uint64_t fileSize = file.Size();
  const size_t want = static_cast<size_t>(std::min<uint64_t>(fileSize, kKeyListMaxBytes));
  LockedPages text(want);
  if (want > 0 && text.size() == 0) {
    reporter.ShowDetail(kMsgLoadKeyListFailed, path + ": " + kDetailKeyListNoMemory);
    return false;
  }
  const size_t got = want > 0 ? file.Read(text.data(), want) : 0;
  file.Close();
  // Past the limit the rest of the file is never read: the 23 lines and the
  // start of a 24th must lie within it.
  const bool cut = got == want && fileSize > want;
  const std::string_view all(text.data(), got);

  TextLines reader(all);
  std::vector<std::string_view> lines;
  lines.reserve(kKeyListLines);
  for (size_t i = 0; i < kKeyListLines; ++i) {
    bool ended = false;
    std::string_view line = reader.Next(&ended);
    if (cut && !ended) {
      reporter.ShowDetail(kMsgInvalidKeyList, Format(kDetailKeyListTooLong, path.c_str(), kKeyListMaxBytes));
      return false;
    }
    line = TrimView(line);
    if (line.empty()) {
      reporter.ShowDetail(kMsgInvalidKeyList,
                          Format(kDetailKeyListLineMissing, path.c_str(), i + 1, kKeyListLines));
      return false;
    }
    lines.push_back(line);
  }
  // A 24th line is allowed only when empty; what follows it is never looked at.
  if (cut && reader.AtEnd()) {
    reporter.ShowDetail(kMsgInvalidKeyList, Format(kDetailKeyListTooLong, path.c_str(), kKeyListMaxBytes));
    return false;
  }
  std::string_view extra = reader.Next();
  if (!extra.empty() && extra.back() == '\r') extra.remove_suffix(1);
  if (!extra.empty()) {
    reporter.ShowDetail(kMsgInvalidKeyList, Format(kDetailKeyListTooManyLines, path.c_str(), kKeyListLines));
    return false;
  }
  // The old lines are wiped as their pages go.
  ws.keyLines = KeyLines(std::move(text), std::move(lines));
  ws.app.m_strKeysFile = path;
  return true;
}

bool RemoveStaleKeyFiles(const std::string& tempDir) {
  bool ok = true;
  for (const char* name : kStaleKeyFiles) ok = WipeAndRemoveFile(tempDir + name) && ok;
  return ok;
}

Key128 DecodeKey128(std::string_view line) {
  Key128 key{};
  for (size_t i = 0; i < 16; ++i) key[i] = HexPair(line, 2 * i);
  return key;
}

void KeyRecord::Encode(uint8_t* out) const {
  PutLe16(out + kOffKeyLength, 16);
  PutLe16(out + kOffKeyId, keyId);
  std::memcpy(out + kOffKey, key.data(), key.size());
  std::memset(out + kOffFiller, 0xFF, 16);
}

namespace {

// One key line into its record; false when the line is not a key line.
bool EncodeKeyLine(std::string_view line, uint8_t* out) {
  const bool ok = line.size() == 41 && line.substr(0, 4) == "KEY=";
  if (ok) {
    KeyRecord record;
    record.keyId = static_cast<uint16_t>(LeadingHex(line.substr(4, 4)) & 0xFFFF);
    for (size_t i = 0; i < 16; ++i) record.key[i] = HexPair(line, 9 + 2 * i);
    record.Encode(out);
    OPENSSL_cleanse(record.key.data(), record.key.size());
  }
  return ok;
}

}  // namespace

bool KeyRecordsFromText(RunReporter& reporter, std::string_view text, SecureBytes& records) {
  const auto invalid = [&reporter] {
    reporter.Show(kMsgInvalidRecordText);
    return false;
  };
  // Read as the file conversion reads: each line trimmed, views only.
  TextLines lines(text);
  const std::string_view first = TrimView(lines.Next());
  if (first.substr(0, 7) != "KEYNUM=") return invalid();
  const long long expected = LeadingInteger(first.substr(7, 99));
  // The count is checked after the lines, as the file conversion does; the
  // buffer only ever holds the lines that are there.
  std::vector<std::string_view> keyLines;
  while (!lines.AtEnd()) keyLines.push_back(TrimView(lines.Next()));
  SecureBytes out(keyLines.size() * kKeyRecordSize);
  bool ok = true;
  for (size_t i = 0; i < keyLines.size(); ++i)
    ok = ok && EncodeKeyLine(keyLines[i], out.data() + i * kKeyRecordSize);
  if (!ok || static_cast<long long>(keyLines.size()) != expected) return invalid();
  records.Swap(out);
  return true;
}

bool ConvertKeyRecordText(RunReporter& reporter, const std::string& destinationPath, const std::string& sourcePath) {
  if (!IsRegularFile(sourcePath)) {
    reporter.Show(kMsgSourceNotFound);
    return false;
  }
  InFile source;
  if (!source.Open(sourcePath, true)) {
    reporter.Show(kMsgOpenSourceFailed);
    return false;
  }
  OutFile destination;
  if (!destination.Create(destinationPath, /*ownerOnly=*/true)) {
    reporter.Show(kMsgCreateDestinationFailed);
    return false;
  }
  const auto invalid = [&reporter] {
    reporter.Show(kMsgInvalidRecordText);
    return false;
  };
  const std::string first = NextTrimmedLine(source);
  if (first.compare(0, 7, "KEYNUM=") != 0 || first.size() < 7) return invalid();
  const long long expected = LeadingInteger(std::string_view(first).substr(7, 99));

  const uint64_t length = source.Size();
  long long written = 0;
  while (source.Tell() < length) {
    std::string line = NextTrimmedLine(source);
    if (line.size() != 41 || line.compare(0, 4, "KEY=") != 0) {
      Cleanse(line);
      return invalid();
    }
    KeyRecord record;
    record.keyId = static_cast<uint16_t>(LeadingHex(std::string_view(line).substr(4, 4)) & 0xFFFF);
    for (size_t i = 0; i < 16; ++i) record.key[i] = HexPair(line, 9 + 2 * i);
    uint8_t bytes[kKeyRecordSize];
    record.Encode(bytes);
    const bool ok = destination.Write(bytes, sizeof(bytes));
    OPENSSL_cleanse(bytes, sizeof(bytes));
    OPENSSL_cleanse(record.key.data(), record.key.size());
    Cleanse(line);
    if (!ok) {
      reporter.Show(kMsgCreateDestinationFailed);
      return false;
    }
    ++written;
  }
  if (written != expected) return invalid();
  if (!destination.Commit()) {
    reporter.Show(kMsgCreateDestinationFailed);
    return false;
  }
  return true;
}

void KeyDerivationBlock(int32_t boardType, uint8_t block16[16]) {
  // Each board family draws its block from a 32-bit xorshift generator with
  // its own seed.
  uint32_t x = boardType == 0 ? 0x9E3779B9u : 0x85EBCA6Bu;
  for (size_t i = 0; i < 16; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    block16[i] = static_cast<uint8_t>(x >> 24);
  }
}

}  // namespace tarnel
