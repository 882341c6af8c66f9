// Making a fresh key list file: two RSA keys (external and root), the
// external public key, two placeholder lines and three random 128-bit keys.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <string>

namespace tarnel {

// The three 128-bit keys of lines 23, 22 and 21, in that order (V1, V2, V3).
using KeyListAesKeys = std::array<std::array<uint8_t, 16>, 3>;

// The 23 lines of a key list made from two RSA private keys and the three
// 128-bit keys, each line ending with a line feed: lines 1-8 and 9-10 from
// `external`, 11-18 from `root`, two free lines, then V3, V2, V1.
[[nodiscard]] bool KeyListTextFromKeys(const EVP_PKEY* external, const EVP_PKEY* root, const KeyListAesKeys& aes,
                                       std::string& text);
// Three fresh random 128-bit keys.
[[nodiscard]] bool RandomAesKeys(KeyListAesKeys& aes);

// The 23 lines, each ending with a line feed. Key sizes other than 2048 are
// only useful for exercising the checks.
[[nodiscard]] bool GenerateKeyListText(std::string& text, int externalBits = 2048, int rootBits = 2048);

enum class KeyListWrite { Ok, Exists, GenerateFailed, WriteFailed };
// Writes a new key list readable by its owner only; an existing file is only
// replaced when `force` is set.
[[nodiscard]] KeyListWrite WriteNewKeyList(const std::string& path, bool force);

}  // namespace tarnel
