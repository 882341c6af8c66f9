#include "common/secure.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tarnel {

LockedPages::LockedPages(size_t n) {
  if (n == 0) return;
  const long page = ::sysconf(_SC_PAGESIZE);
  const size_t pageSize = page > 0 ? static_cast<size_t>(page) : 4096;
  if (n > SIZE_MAX - pageSize) return;
  const size_t mapped = (n + pageSize - 1) / pageSize * pageSize;
  void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return;
#ifdef MADV_DONTDUMP
  (void)::madvise(base, mapped, MADV_DONTDUMP);
#endif
#ifdef MADV_WIPEONFORK
  // A child made by fork() for a helper never sees the text.
  (void)::madvise(base, mapped, MADV_WIPEONFORK);
#endif
  // Without the right to lock (RLIMIT_MEMLOCK) the pages may be swapped.
  locked_ = ::mlock(base, mapped) == 0;
  base_ = base;
  size_ = n;
  mapped_ = mapped;
}

LockedPages::LockedPages(LockedPages&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)),
      locked_(std::exchange(other.locked_, false)) {}

LockedPages& LockedPages::operator=(LockedPages&& other) noexcept {
  if (this != &other) {
    Release();
    base_ = std::exchange(other.base_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
    locked_ = std::exchange(other.locked_, false);
  }
  return *this;
}

void LockedPages::Release() {
  if (base_ == nullptr) return;
  OPENSSL_cleanse(base_, mapped_);
  if (locked_) (void)::munlock(base_, mapped_);
  (void)::munmap(base_, mapped_);
  base_ = nullptr;
  size_ = mapped_ = 0;
  locked_ = false;
}

namespace {

// OpenSSL's allocator, with every block wiped before the heap gets it back.
// These are the allocation functions OpenSSL itself calls, so they use the
// C heap directly.
void* HeapMalloc(size_t n, const char*, int) { return std::malloc(n); }

void HeapFree(void* p, const char*, int) {
  if (p == nullptr) return;
  OPENSSL_cleanse(p, ::malloc_usable_size(p));
  std::free(p);
}

void* HeapRealloc(void* p, size_t n, const char* file, int line) {
  if (p == nullptr) return std::malloc(n);
  if (n == 0) {
    HeapFree(p, file, line);
    return nullptr;
  }
  // Moved by hand, so that the old block is wiped as well.
  void* moved = std::malloc(n);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, p, std::min(n, ::malloc_usable_size(p)));
  HeapFree(p, file, line);
  return moved;
}

}  // namespace

bool WipeOpenSslFrees() { return CRYPTO_set_mem_functions(HeapMalloc, HeapRealloc, HeapFree) == 1; }

}  // namespace tarnel
