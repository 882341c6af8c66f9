// The key list file: 23 non-blank lines holding the external RSA key (1-8),
// its public half (9-10), the root RSA key (11-18), two free lines (19-20) and
// three 128-bit keys (21-23). Also the key record text of the key partition.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/model.h"
#include "common/reporter.h"
#include "common/secure.h"

namespace tarnel {

inline constexpr size_t kKeyListLines = 23;
inline constexpr const char* kDefaultKeyListName = "Keys_for_signature.txt";

// Only this much of a key list file is read; longer key lines than 4096-bit
// keys need would be no key.
inline constexpr size_t kKeyListMaxBytes = 64 * 1024;

// 0-based positions in KeyLines of the external public key (n, e).
inline constexpr size_t kExternalPublicNLine = 8;

// Files that older runs left in the program folder's Temp folder with key
// material in them: the private keys, and the key partition's key text and
// record. No run writes them now; a run wipes any it finds.
inline constexpr const char* kStaleKeyFiles[] = {"ExternalPrivateKey.txt", "RootPrivateKey.txt", "KeyPart.txt",
                                                 "TempKeyPart.txt"};

// Checks the file; on success replaces ws.keyLines and sets m_strKeysFile.
// A failed check leaves both as they were.
[[nodiscard]] bool LoadKeyListFile(Workspace& ws, RunReporter& reporter, const std::string& path);

// Overwrites and removes the files of kStaleKeyFiles in `tempDir` (which
// ends with a separator). False when one of them could not be removed.
bool RemoveStaleKeyFiles(const std::string& tempDir);

// 32 hexadecimal digits to 16 bytes; pairs past the end give 0.
[[nodiscard]] Key128 DecodeKey128(std::string_view line);

// The 36-byte binary key record.
inline constexpr size_t kKeyRecordSize = 36;
struct KeyRecord {
  static constexpr size_t kOffKeyLength = 0;  // u16, 16
  static constexpr size_t kOffKeyId = 2;      // u16
  static constexpr size_t kOffKey = 4;        // 16 bytes
  static constexpr size_t kOffFiller = 20;    // 16 bytes 0xFF
  uint16_t keyId = 0;
  Key128 key{};
  void Encode(uint8_t* out) const;
};
static_assert(KeyRecord::kOffFiller + 16 == kKeyRecordSize);

// The key partition encrypts the key of its record under a key derived from
// V3 and this 16-byte block of the board type (0 selects the first block,
// any other the second), built at run time. Writer and reader share it.
void KeyDerivationBlock(int32_t boardType, uint8_t block16[16]);

// Key id under which the key partition stores V1.
inline constexpr const char* kKeyPartKeyId = "0002";

// "KEYNUM=n" followed by n lines "KEY=iiii kkkk...k" (41 characters) into a
// file of n key records.
[[nodiscard]] bool ConvertKeyRecordText(RunReporter& reporter, const std::string& destinationPath,
                                        const std::string& sourcePath);
// The same conversion in memory: `records` receives the n records. Shows
// "Invaild source file context!" when the text does not convert.
[[nodiscard]] bool KeyRecordsFromText(RunReporter& reporter, std::string_view text, SecureBytes& records);

}  // namespace tarnel
