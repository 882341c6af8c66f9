#include "common/stream.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace tarnel {
namespace {

using test::PatternBytes;

constexpr size_t kPiece = 4096;

// A source over a buffer that can be made to fail at one offset.
struct Source {
  std::vector<uint8_t> bytes;
  size_t pos = 0;
  size_t failAt = SIZE_MAX;
  bool Read(uint8_t* out, size_t n) {
    if (pos + n > failAt) return false;
    std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(pos), bytes.begin() + static_cast<std::ptrdiff_t>(pos + n),
              out);
    pos += n;
    return true;
  }
};

// Every stage sees every byte once, in order, for lengths around the piece
// size and the ring's wrap; progress only grows and ends at the length.
TEST(StreamThrough, StagesSeeTheBytesInOrder) {
  for (const size_t n : {size_t{0}, size_t{1}, kPiece - 1, kPiece, kPiece + 1, 7 * kPiece + 3}) {
    for (const size_t slots : {size_t{1}, size_t{2}, size_t{3}}) {
      SCOPED_TRACE(testing::Message() << n << " bytes, " << slots << " slots");
      Source src{PatternBytes(n, static_cast<uint32_t>(n + slots))};
      std::vector<uint8_t> computed, written;
      std::vector<uint64_t> progress;
      StreamStages stages;
      stages.read = [&](uint8_t* b, size_t k) { return src.Read(b, k); };
      stages.compute = [&](const uint8_t* d, size_t k) { return computed.insert(computed.end(), d, d + k), true; };
      stages.write = [&](const uint8_t* d, size_t k) { return written.insert(written.end(), d, d + k), true; };
      stages.progress = [&](uint64_t done) { progress.push_back(done); };
      ASSERT_EQ(StreamThrough(n, stages, kPiece, slots), StreamStatus::Ok);
      EXPECT_EQ(computed, src.bytes);
      EXPECT_EQ(written, src.bytes);
      ASSERT_FALSE(progress.empty());
      EXPECT_EQ(progress.back(), n);
      EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    }
  }
}

// A failure in any stage in the middle stops the others and is reported;
// an output written through the engine is then never committed.
TEST(StreamThrough, AFailureMidwayStopsEveryStageAndLeavesNoOutput) {
  test::TempFolder dir;
  const size_t n = 9 * kPiece + 5;
  enum Where { kRead, kCompute, kWrite };
  for (const Where where : {kRead, kCompute, kWrite}) {
    SCOPED_TRACE(where);
    Source src{PatternBytes(n, 5)};
    if (where == kRead) src.failAt = 4 * kPiece + 1;
    OutFile out;
    ASSERT_TRUE(out.Create(dir / "out.img"));
    size_t computed = 0;
    StreamStages stages;
    stages.read = [&](uint8_t* b, size_t k) { return src.Read(b, k); };
    stages.compute = [&](const uint8_t*, size_t k) { return (computed += k) <= 5 * kPiece || where != kCompute; };
    const auto write = WriteStage(out);
    stages.write = [&](const uint8_t* d, size_t k) {
      return (where != kWrite || out.Written() + k <= 3 * kPiece) && write(d, k);
    };
    const StreamStatus expected = where == kRead      ? StreamStatus::ReadFailed
                                  : where == kCompute ? StreamStatus::ComputeFailed
                                                      : StreamStatus::WriteFailed;
    EXPECT_EQ(StreamThrough(n, stages, kPiece, 2), expected);
    EXPECT_LT(out.Written(), n);
    out.Discard();
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
  }
}

// A file read as the source must end where the length streamed said: one
// that holds more is a read failure, an empty length included.
TEST(StreamThrough, AFileLongerThanTheLengthStreamedFailsAsARead) {
  test::TempFolder dir;
  const size_t n = 3 * kPiece + 7;
  test::WriteBytes(dir / "source.bin", PatternBytes(n, 11));
  for (const size_t length : {size_t{0}, n - 1, n}) {
    SCOPED_TRACE(length);
    InFile in;
    ASSERT_TRUE(in.Open(dir / "source.bin"));
    std::vector<uint8_t> written;
    StreamStages stages;
    ReadFrom(in, stages);
    stages.write = [&](const uint8_t* d, size_t k) { return written.insert(written.end(), d, d + k), true; };
    EXPECT_EQ(StreamThrough(length, stages, kPiece, 2), length == n ? StreamStatus::Ok : StreamStatus::ReadFailed);
  }
}

// A real write error (the file size limit) in the middle of a copy: the copy
// fails and nothing is left, neither the final name nor a temporary sibling.
TEST(StreamThrough, CopyHittingTheFileSizeLimitLeavesNothing) {
  test::TempFolder dir;
  test::WriteBytes(dir / "source.bin", PatternBytes(3 * kStreamPiece + 17, 9));
  bool copied = true;
  {
    test::ScopedFileSizeLimit limit(kStreamPiece + 100);
    copied = CopyFileReplace(dir / "source.bin", dir / "copy.bin");
  }
  EXPECT_FALSE(copied);
  EXPECT_EQ(test::FolderEntries(dir.Path()), std::vector<std::string>{"source.bin"});
}

}  // namespace
}  // namespace tarnel
