#include "pipeline/key_partition.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <memory>
#include <string>

#include "boot/key_list.h"
#include "common/files.h"
#include "common/secure.h"
#include "signing/crypto.h"
#include "signing/mac_containers.h"
#include "pipeline/messages.h"

namespace tarnel {

namespace {


// Only the start of the record is rewritten; there is one record.
constexpr size_t kRewrittenBytes = 32;

// Two independent 8-byte blocks under the two-key EDE schedule (K1, K2, K1).
bool DesEdeEcb(const uint8_t* key16, const uint8_t* in16, uint8_t* out16) {
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(nullptr, "DES-EDE-ECB", nullptr));
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!cipher || !ctx || EVP_CIPHER_get_key_length(cipher.get()) != 16) return false;
  int outLen = 0;
  int finalLen = 0;
  return EVP_EncryptInit_ex2(ctx.get(), cipher.get(), key16, nullptr, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
         EVP_EncryptUpdate(ctx.get(), out16, &outLen, in16, 16) == 1 && outLen == 16 &&
         EVP_EncryptFinal_ex(ctx.get(), out16 + outLen, &finalLen) == 1 && finalLen == 0;
}

bool Fail(RunServices& ctx, const char* message) {
  ctx.Show(message);
  ctx.SetPos(0);
  return false;
}

}  // namespace

bool EncryptKeyRecord(const Key128& rootKey, int32_t boardType, const uint8_t* input16, uint8_t* output16) {
  std::array<uint8_t, 16> block{};
  std::array<uint8_t, 16> derived{};
  KeyDerivationBlock(boardType, block.data());
  const bool ok = DesEdeEcb(rootKey.data(), block.data(), derived.data()) &&
                  DesEdeEcb(derived.data(), input16, output16);
  OPENSSL_cleanse(derived.data(), derived.size());
  OPENSSL_cleanse(block.data(), block.size());
  return ok;
}

bool BuildKeyPartition(RunServices& ctx, const FlashGeometry& boot, int32_t boardType, const std::string& outputPath) {
  const KeyLines& lines = ctx.Keys();
  if (lines.size() < 3) return Fail(ctx, kMsgCreateTempKeyPartFailed);

  // The key text, one key line (V1 under key id 0002), and its record stay
  // in memory: no key material is written to the Temp folder.
  const std::string_view head = "KEYNUM=1\nKEY=";
  const std::string_view id = kKeyPartKeyId;
  const std::string_view key = lines.back();
  SecureBytes text(head.size() + id.size() + 1 + key.size());
  char* at = reinterpret_cast<char*>(text.data());
  at = std::copy(head.begin(), head.end(), at);
  at = std::copy(id.begin(), id.end(), at);
  *at++ = ' ';
  std::copy(key.begin(), key.end(), at);

  struct WipedKeys {
    Key128 seal;  // V2 seals the key partition
    Key128 root;  // V3 derives the encryption key
    ~WipedKeys() {
      OPENSSL_cleanse(seal.data(), seal.size());
      OPENSSL_cleanse(root.data(), root.size());
    }
  } keys{DecodeKey128(lines[lines.size() - 2]), DecodeKey128(lines[lines.size() - 3])};

  SecureBytes record;
  const bool converted = KeyRecordsFromText(
      ctx.Reporter(), std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), record);
  if (!converted) return Fail(ctx, kMsgCreateTempKeyPartFailed);

  // Encrypt the key of the first record; the rest stays as it is.
  if (record.size() < kRewrittenBytes) return Fail(ctx, kMsgEncryptKeyPartFailed);
  std::array<uint8_t, 16> encrypted{};
  static_assert(KeyRecord::kOffKey + 16 <= kRewrittenBytes);
  const bool ok = EncryptKeyRecord(keys.root, boardType, record.data() + KeyRecord::kOffKey,
                                   encrypted.data());
  std::copy(encrypted.begin(), encrypted.end(), record.data() + KeyRecord::kOffKey);
  OPENSSL_cleanse(encrypted.data(), encrypted.size());
  if (!ok) return Fail(ctx, kMsgEncryptKeyPartFailed);

  // The container's spare word is 0 whatever the boot flash.
  const FlashGeometry geometry{boot.flashType, boot.pageSize, boot.blockSize, 0};
  if (!SealKeyPartition(ctx, geometry, keys.seal, outputPath, record.data(), record.size()))
    return Fail(ctx, kMsgSignKeyPartitionFailed);
  return true;
}

}  // namespace tarnel
