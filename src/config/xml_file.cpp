#include "config/xml_file.h"

#include <iconv.h>

#include <cerrno>

#include "common/files.h"
#include "common/platform.h"
#include "common/text.h"

namespace tarnel::config {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Decodes GB2312, GBK/CP936 and GB18030 alike: it contains the other two.
constexpr const char* kGbFamily = "GB18030";

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// One UTF-8 character at `pos`: its code point and length. False for a
// malformed, overlong, surrogate or out-of-range sequence, or one cut short.
bool NextUtf8Char(std::string_view s, size_t pos, uint32_t& codePoint, size_t& length) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = byte(pos);
  uint32_t cp;
  uint32_t minimum;
  if (lead < 0x80) {
    codePoint = lead;
    length = 1;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07u, minimum = 0x10000;
  } else {
    return false;
  }
  if (s.size() - pos < length) return false;
  for (size_t i = 1; i < length; ++i) {
    const uint8_t b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  codePoint = cp;
  return true;
}

// An iconv conversion descriptor, closed on destruction.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~Converter() {
    if (Ok()) ::iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  [[nodiscard]] bool Ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in`, appending to `out`; false on an invalid or
  // incomplete sequence.
  [[nodiscard]] bool Convert(std::string_view in, std::string& out) {
    ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string buffer(in);
    char* inPtr = buffer.data();
    size_t inLeft = buffer.size();
    char chunk[4096];
    while (inLeft > 0) {
      char* outPtr = chunk;
      size_t outLeft = sizeof(chunk);
      const size_t rc = ::iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
      out.append(chunk, sizeof(chunk) - outLeft);
      if (rc == static_cast<size_t>(-1) && errno != E2BIG) return false;
    }
    char* outPtr = chunk;
    size_t outLeft = sizeof(chunk);
    if (::iconv(cd_, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) return false;
    out.append(chunk, sizeof(chunk) - outLeft);
    return true;
  }

 private:
  iconv_t cd_;
};

bool IsGbFamily(std::string_view upperName) {
  static constexpr std::string_view kNames[] = {"GB2312", "GBK",     "GB18030", "CP936",      "MS936",
                                                "EUC-CN", "EUC_CN", "X-GBK",   "WINDOWS-936", "CSGB2312"};
  for (std::string_view name : kNames)
    if (upperName == name) return true;
  return false;
}

bool ConvertWith(const char* from, std::string_view bytes, std::string& utf8) {
  Converter converter("UTF-8", from);
  if (!converter.Ok()) return false;
  std::string out;
  if (!converter.Convert(bytes, out)) return false;
  utf8 = std::move(out);
  return true;
}

}  // namespace

std::string DeclaredEncoding(std::string_view bytes) {
  if (StartsWith(bytes, kUtf8Bom)) bytes.remove_prefix(kUtf8Bom.size());
  size_t i = 0;
  while (i < bytes.size() && IsSpace(bytes[i])) ++i;
  bytes.remove_prefix(i);
  if (!StartsWith(bytes, "<?xml") || bytes.size() < 6 || !IsSpace(bytes[5])) return {};
  const size_t end = bytes.find("?>");
  if (end == std::string_view::npos) return {};
  const std::string_view decl = bytes.substr(0, end);
  size_t pos = decl.find("encoding");
  if (pos == std::string_view::npos) return {};
  pos += 8;
  while (pos < decl.size() && IsSpace(decl[pos])) ++pos;
  if (pos >= decl.size() || decl[pos] != '=') return {};
  ++pos;
  while (pos < decl.size() && IsSpace(decl[pos])) ++pos;
  if (pos >= decl.size() || (decl[pos] != '"' && decl[pos] != '\'')) return {};
  const char quote = decl[pos++];
  const size_t close = decl.find(quote, pos);
  if (close == std::string_view::npos) return {};
  return std::string(decl.substr(pos, close - pos));
}

bool IsValidUtf8(std::string_view bytes) {
  uint32_t cp;
  size_t length;
  for (size_t pos = 0; pos < bytes.size(); pos += length)
    if (!NextUtf8Char(bytes, pos, cp, length)) return false;
  return true;
}

bool DecodeToUtf8(std::string_view bytes, std::string& utf8) {
  const bool bom = StartsWith(bytes, kUtf8Bom);
  const std::string encoding = ToUpperAscii(Trim(DeclaredEncoding(bytes)));
  if (bom || encoding.empty() || encoding == "UTF-8" || encoding == "UTF8") {
    if (IsValidUtf8(bytes)) {
      utf8.assign(bytes);
      return true;
    }
    // An undeclared file written in the Chinese Windows code page.
    if (!bom && ConvertWith(kGbFamily, bytes, utf8)) return true;
    utf8.assign(bytes);
    return true;
  }
  if (IsGbFamily(encoding)) return ConvertWith(kGbFamily, bytes, utf8);
  Converter probe("UTF-8", encoding.c_str());
  if (!probe.Ok()) {
    // An encoding unknown here: the parser takes the bytes as they are.
    utf8.assign(bytes);
    return true;
  }
  return ConvertWith(encoding.c_str(), bytes, utf8);
}

bool LoadXmlFile(const std::string& path, tinyxml2::XMLDocument& doc) {
  std::string why;
  return LoadXmlFile(path, doc, why);
}

bool LoadXmlFile(const std::string& path, tinyxml2::XMLDocument& doc, std::string& why) {
  InFile file;
  if (!file.Open(path)) {
    why = WhyUnreadable(path);
    if (why.empty()) why = "cannot be opened";
    return false;
  }
  const uint64_t size = file.Size();
  if (size > kMaxConfigFileBytes) {
    why = Format("larger than %llu bytes", static_cast<unsigned long long>(kMaxConfigFileBytes));
    return false;
  }
  std::string bytes(static_cast<size_t>(size), '\0');
  if (!file.ReadExact(bytes.data(), bytes.size())) {
    why = "read error";
    return false;
  }
  std::string text;
  if (!DecodeToUtf8(bytes, text)) {
    why = "not text in the declared encoding";
    return false;
  }
  if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) {
    why = Format("line %d: %s", doc.ErrorLineNum(), doc.ErrorName());
    return false;
  }
  return true;
}

bool EncodeForGb2312File(std::string_view utf8, std::string& out) {
  Converter converter(kGbFamily, "UTF-8");
  if (!converter.Ok()) return false;
  std::string encoded;
  encoded.reserve(utf8.size());
  uint32_t cp;
  size_t length;
  for (size_t pos = 0; pos < utf8.size(); pos += length) {
    if (!NextUtf8Char(utf8, pos, cp, length)) return false;
    if (cp < 0x80) {
      encoded += static_cast<char>(cp);
      continue;
    }
    std::string bytes;
    // Characters outside the two-byte range are written as references so
    // the file stays readable by anything that understands GBK.
    if (converter.Convert(utf8.substr(pos, length), bytes) && bytes.size() <= 2) encoded += bytes;
    else encoded += Format("&#x%X;", static_cast<unsigned>(cp));
  }
  out = std::move(encoded);
  return true;
}

std::vector<std::string> AttributesByPosition(const tinyxml2::XMLElement& element, size_t count) {
  std::vector<std::string> values(count);
  const tinyxml2::XMLAttribute* attribute = element.FirstAttribute();
  for (size_t i = 0; i < count && attribute != nullptr; ++i, attribute = attribute->Next())
    values[i] = attribute->Value();
  return values;
}

}  // namespace tarnel::config
