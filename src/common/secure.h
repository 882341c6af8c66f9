// Buffers that hold key material are wiped when they go away.
#pragma once

#include <openssl/crypto.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnel {

using Key128 = std::array<uint8_t, 16>;

class SecureBytes {
 public:
  explicit SecureBytes(size_t n = 0) : bytes_(n) {}
  ~SecureBytes() { Wipe(); }
  SecureBytes(const SecureBytes&) = delete;
  SecureBytes& operator=(const SecureBytes&) = delete;

  [[nodiscard]] uint8_t* data() { return bytes_.data(); }
  [[nodiscard]] const uint8_t* data() const { return bytes_.data(); }
  [[nodiscard]] size_t size() const { return bytes_.size(); }
  uint8_t& operator[](size_t i) { return bytes_[i]; }
  void Swap(SecureBytes& other) noexcept { bytes_.swap(other.bytes_); }
  void Wipe() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  }

 private:
  std::vector<uint8_t> bytes_;
};

inline void Cleanse(std::string& s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
  s.clear();
}

}  // namespace tarnel
