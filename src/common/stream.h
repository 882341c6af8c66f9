// The streaming engine of the signers that copy an image while hashing or
// MACing it: the caller's thread reads, a compute stage and a writer each run
// on their own thread, and the three work at once over a small ring of
// buffers. Memory stays at slots x piece bytes whatever the length; every
// stage sees the pieces in order, so the result is that of one plain loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/files.h"

namespace tarnel {

// Large requests, a few in flight: 4 x 4 MiB.
inline constexpr size_t kStreamPiece = 4 * 1024 * 1024;
inline constexpr size_t kStreamSlots = 4;

enum class StreamStatus { Ok, ReadFailed, ComputeFailed, WriteFailed, NoMemory };

struct StreamStages {
  // Fills the buffer with exactly n bytes of the source (caller's thread).
  std::function<bool(uint8_t* buffer, size_t n)> read;
  // After the last piece: true when the source ends there, where its length
  // said (caller's thread); a source that holds more is a read failure. May
  // be empty (a source without an end of its own).
  std::function<bool()> atEnd;
  // Sees every piece in order on the compute thread; none when empty.
  std::function<bool(const uint8_t* data, size_t n)> compute;
  // Writes every piece in order on the writer thread; none when empty.
  std::function<bool(const uint8_t* data, size_t n)> write;
  // Bytes through every stage so far, called on the caller's thread as the
  // pieces go by (and once at the end); may be empty.
  std::function<void(uint64_t done)> progress;
};

// Streams `length` bytes through the stages. The first failure stops every
// stage and is the result (a read failure first, then compute, then write);
// NoMemory when the buffers or threads could not be had.
[[nodiscard]] StreamStatus StreamThrough(uint64_t length, const StreamStages& stages, size_t piece = kStreamPiece,
                                         size_t slots = kStreamSlots);

// Stage helpers over the RAII files. ReadFrom makes `in` the source: exactly
// n bytes a piece (after a sequential-access hint), and a file that grew
// past the length streamed is a read failure. WriteStage also starts the
// disk writes of what it has written, so that the sync before the rename
// finds little left.
void ReadFrom(InFile& in, StreamStages& stages);
[[nodiscard]] std::function<bool(const uint8_t*, size_t)> WriteStage(OutFile& out);

// The texts a caller shows for a failed stream, one per status: `read` and
// `compute` are formatted with the source's path, `write` and `noMemory`
// with the output's (a text without %s ignores it).
struct StreamMessages {
  const char* read;
  const char* compute;
  const char* write;
  const char* noMemory;
};
// The message for a stream that ended with `status`; empty for Ok.
[[nodiscard]] std::string StreamFailureMessage(StreamStatus status, const StreamMessages& messages,
                                               const std::string& sourcePath, const std::string& outputPath);

}  // namespace tarnel
