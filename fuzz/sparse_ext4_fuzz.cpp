// The sparse image reader on arbitrary bytes: it must never read outside the
// buffer, and whatever it accepts must add up.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "signing/sparse_ext4.h"

using tarnel::SparseChunkView;
using tarnel::SparseFileHeader;
using tarnel::SparseVerdict;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const SparseVerdict verdict = tarnel::ValidateSparseImage(data, size);
  if (verdict != SparseVerdict::Ok) return 0;

  // Accepted: the chunks follow each other in the expanded data, each lies in
  // the buffer, and together they make up the announced length (below 4 GiB).
  const tarnel::SparseReadAt read = [data, size](uint64_t offset, uint8_t* out, size_t n) {
    if (offset > size || size - offset < n) std::abort();  // the walk must check before it reads
    std::memcpy(out, data + offset, n);
    return true;
  };
  uint64_t next = 0;
  uint32_t count = 0;
  SparseFileHeader header;
  const auto visit = [&](const SparseChunkView& chunk) {
    if (chunk.index != count++ || chunk.dataOffset != next || chunk.dataPos > size) std::abort();
    next += chunk.expandedBytes;
    return true;
  };
  if (tarnel::WalkSparseImage(read, size, header, visit) != SparseVerdict::Ok) std::abort();
  if (count != header.totalChunks || next != header.ExpandedLength() || next == 0 || next > 0xFFFFFFFFull) std::abort();
  return 0;
}
