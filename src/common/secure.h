// Buffers that hold key material are wiped when they go away.
#pragma once

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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

// Pages of their own for key text: left out of core dumps, locked in memory
// when the process may lock pages, wiped before they are given back. A
// failed mapping leaves the object empty (size() 0).
class LockedPages {
 public:
  LockedPages() = default;
  explicit LockedPages(size_t n);
  ~LockedPages() { Release(); }
  LockedPages(const LockedPages&) = delete;
  LockedPages& operator=(const LockedPages&) = delete;
  LockedPages(LockedPages&& other) noexcept;
  LockedPages& operator=(LockedPages&& other) noexcept;

  [[nodiscard]] char* data() { return static_cast<char*>(base_); }
  [[nodiscard]] const char* data() const { return static_cast<const char*>(base_); }
  [[nodiscard]] size_t size() const { return size_; }
  // Wipes and unmaps; the object is empty afterwards.
  void Release();

 private:
  void* base_ = nullptr;
  size_t size_ = 0;    // bytes asked for
  size_t mapped_ = 0;  // whole pages
  bool locked_ = false;
};

inline void Cleanse(std::string& s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
  s.clear();
}

// From here on, what OpenSSL frees on the ordinary heap is wiped first (the
// copies its decoders and number code make of key material). Must run
// before OpenSSL's first allocation; false when it came too late.
bool WipeOpenSslFrees();

}  // namespace tarnel
