#include "boot/key_list.h"

#include <cstring>

#include "common/files.h"
#include "common/le.h"
#include "common/platform.h"
#include "common/secure.h"
#include "common/text.h"

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

uint8_t HexPair(const std::string& text, size_t pos) {
  if (pos >= text.size()) return 0;
  return static_cast<uint8_t>(LeadingHex(std::string_view(text).substr(pos, 2)) & 0xFF);
}

}  // namespace

bool LoadKeyListFile(Workspace& ws, RunReporter& reporter, const std::string& path) {
  InFile file;
  if (!file.Open(path, true)) {
    reporter.Show(kMsgLoadKeyListFailed);
    return false;
  }
  KeyLines lines;
  lines.reserve(kKeyListLines);
  for (size_t i = 0; i < kKeyListLines; ++i) {
    std::string line = NextTrimmedLine(file);
    if (line.empty()) {
      for (std::string& l : lines) Cleanse(l);
      reporter.Show(kMsgInvalidKeyList);
      return false;
    }
    lines.push_back(std::move(line));
  }
  std::string extra = NextLine(file);
  if (!extra.empty()) {
    Cleanse(extra);
    for (std::string& l : lines) Cleanse(l);
    reporter.Show(kMsgInvalidKeyList);
    return false;
  }
  for (std::string& l : ws.keyLines) Cleanse(l);
  ws.keyLines = std::move(lines);
  ws.app.m_strKeysFile = path;
  return true;
}

bool WriteTempKeyFiles(SigningContext& ctx, const std::string& keyListPath) {
  InFile keyList;
  if (!keyList.Open(keyListPath, true)) {
    ctx.Show(kMsgOpenKeyFileFailed);
    return false;
  }
  const std::string temp = ctx.App().TempDir();
  OutFile files[3];
  const char* const names[3] = {kExternalPrivateKeyFile, kExternalPublicKeyFile, kRootPrivateKeyFile};
  for (int i = 0; i < 3; ++i) {
    if (!files[i].Create(temp + names[i], /*ownerOnly=*/true)) {
      ctx.Show(kMsgCreateTempKeyFailed);
      return false;
    }
  }
  bool ok = true;
  for (int line = 1; line <= 18; ++line) {
    const int target = line <= 8 ? 0 : (line <= 10 ? 1 : 2);
    std::string text = target == 2 ? NextTrimmedLine(keyList) : NextLine(keyList);
    ok = files[target].Write(text.data(), text.size()) && files[target].Write("\n", 1) && ok;
    Cleanse(text);
  }
  for (OutFile& f : files) ok = f.Commit() && ok;
  if (!ok) {
    ctx.Show(kMsgCreateTempKeyFailed);
    return false;
  }
  return true;
}

Key128 DecodeKey128(const std::string& line) {
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

}  // namespace tarnel
