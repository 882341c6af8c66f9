// Making a fresh key list file: two RSA keys (external and root), the
// external public key, two placeholder lines and three random 128-bit keys.
#pragma once

#include <string>

namespace tarnel {

// The 23 lines, each ending with a line feed. Key sizes other than 2048 are
// only useful for exercising the checks.
[[nodiscard]] bool GenerateKeyListText(std::string& text, int externalBits = 2048, int rootBits = 2048);

enum class KeyListWrite { Ok, Exists, GenerateFailed, WriteFailed };
// Writes a new key list readable by its owner only; an existing file is only
// replaced when `force` is set.
[[nodiscard]] KeyListWrite WriteNewKeyList(const std::string& path, bool force);

}  // namespace tarnel
