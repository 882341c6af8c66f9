// Reading and writing the configuration XML files. Text is UTF-8 inside the
// program; a file is decoded from the encoding its declaration names (the
// partition tables declare GB2312) before it is parsed, and written back in
// that family of encodings.
#pragma once

#include <tinyxml2.h>

#include <string>
#include <string_view>
#include <vector>

namespace tarnel::config {

// Configuration files are small; anything larger is refused unread.
inline constexpr size_t kMaxConfigFileBytes = 16u * 1024 * 1024;

// The encoding named in the XML declaration at the start of `bytes` (after an
// optional UTF-8 byte order mark); empty when there is no declaration or it
// names none.
[[nodiscard]] std::string DeclaredEncoding(std::string_view bytes);

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates).
[[nodiscard]] bool IsValidUtf8(std::string_view bytes);

// The file's bytes as UTF-8:
// - a UTF-8 byte order mark, a UTF-8 declaration or none: taken as they are,
//   unless they are not valid UTF-8, in which case they are read as GB18030
//   (the code page these files come from on the workstations that write them);
// - GB2312, GBK, CP936, EUC-CN or GB18030: decoded as GB18030, which contains
//   the other four;
// - any other encoding the C library's iconv knows: decoded from it; one it
//   does not know: taken as they are.
// False when the bytes cannot be decoded from the declared encoding.
[[nodiscard]] bool DecodeToUtf8(std::string_view bytes, std::string& utf8);

// Reads, decodes and parses a file. False when it is missing, not a regular
// file, larger than kMaxConfigFileBytes, unreadable, not decodable or not
// well-formed XML.
[[nodiscard]] bool LoadXmlFile(const std::string& path, tinyxml2::XMLDocument& doc);
// The same, with the reason of a failure in `why`: the system's reason, the
// size limit, the encoding, or the XML parser's error and line.
[[nodiscard]] bool LoadXmlFile(const std::string& path, tinyxml2::XMLDocument& doc, std::string& why);

// UTF-8 text to bytes for a file that declares GB2312: GBK bytes (the GB2312
// characters keep their GB2312 bytes), and a numeric character reference for
// every character GBK cannot carry, so no text is lost. The references are
// only valid inside attribute values and element text, which is the only
// place such characters appear. False when `utf8` is not valid UTF-8.
[[nodiscard]] bool EncodeForGb2312File(std::string_view utf8, std::string& out);

// The values of the first `count` attributes of an element, in document
// order whatever their names; missing ones are empty.
[[nodiscard]] std::vector<std::string> AttributesByPosition(const tinyxml2::XMLElement& element, size_t count);

}  // namespace tarnel::config
