// First-generation containers: AES-128 CBC-MAC under the image MAC key.
#include "signing/mac_containers.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>

#include "signing/image_headers.h"

namespace tarnel {

namespace {

struct CipherFree {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }  // wipes the key schedule
};

// Ciphertext passes through this many bytes at a time; only its last block is kept.
constexpr size_t kMacWorkBytes = 4096;

}  // namespace

struct CbcMac::Impl {
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx;
  std::array<uint8_t, kMacSize> last{};
  std::array<uint8_t, kMacWorkBytes + kMacSize> work{};
  uint64_t fed = 0;
  bool haveBlock = false;
  bool ok = false;

  ~Impl() {
    OPENSSL_cleanse(last.data(), last.size());
    OPENSSL_cleanse(work.data(), work.size());
  }
};

CbcMac::CbcMac(const Key128& key) : impl_(std::make_unique<Impl>()) {
  static constexpr uint8_t kZeroIv[16] = {};
  impl_->cipher.reset(EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr));
  impl_->ctx.reset(EVP_CIPHER_CTX_new());
  if (!impl_->cipher || !impl_->ctx) return;
  if (EVP_EncryptInit_ex2(impl_->ctx.get(), impl_->cipher.get(), key.data(), kZeroIv, nullptr) != 1) return;
  if (EVP_CIPHER_CTX_set_padding(impl_->ctx.get(), 0) != 1) return;
  impl_->ok = true;
}

CbcMac::~CbcMac() = default;

uint64_t CbcMac::Fed() const { return impl_->fed; }

bool CbcMac::Update(const uint8_t* data, size_t n) {
  Impl& m = *impl_;
  if (!m.ok) return false;
  while (n > 0) {
    const size_t piece = n < kMacWorkBytes ? n : kMacWorkBytes;
    int outLen = 0;
    if (EVP_EncryptUpdate(m.ctx.get(), m.work.data(), &outLen, data, static_cast<int>(piece)) != 1 || outLen < 0) {
      m.ok = false;
      return false;
    }
    if (outLen >= static_cast<int>(kMacSize)) {
      const size_t end = static_cast<size_t>(outLen);
      for (size_t i = 0; i < kMacSize; ++i) m.last[i] = m.work[end - kMacSize + i];
      m.haveBlock = true;
    }
    m.fed += piece;
    data += piece;
    n -= piece;
  }
  return true;
}

bool CbcMac::Final(uint8_t* mac16) {
  Impl& m = *impl_;
  if (!m.ok) return false;
  m.ok = false;  // spent, whatever happens below
  int outLen = 0;
  // With padding off this fails when the total is not a whole number of blocks.
  if (EVP_EncryptFinal_ex(m.ctx.get(), m.work.data(), &outLen) != 1 || outLen != 0) return false;
  if (!m.haveBlock || m.fed % kMacSize != 0) return false;
  for (size_t i = 0; i < kMacSize; ++i) mac16[i] = m.last[i];
  return true;
}

bool ComputeCbcMac(const Key128& key, const uint8_t* data, size_t n, uint8_t* mac16) {
  if (n == 0 || n % kMacSize != 0) return false;
  CbcMac mac(key);
  return mac.Update(data, n) && mac.Final(mac16);
}

bool SealRawImage(SigningContext&, uint32_t, const std::string&, const std::string&, uint32_t, uint32_t) { return false; }
bool SealKeyPartition(SigningContext&, uint32_t, const std::string&, const std::string&, uint32_t, uint32_t) { return false; }
bool SealChunkedImage(SigningContext&, const std::string&, const std::string&, uint32_t, uint32_t, uint32_t) { return false; }

}  // namespace tarnel
