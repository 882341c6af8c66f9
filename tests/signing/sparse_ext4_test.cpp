// Ext4 sparse signing: images made by mke2fs and img2simg, expansion compared
// with simg2img's, sections and the whole-file block checked with the public
// key alone, the sparse map against entries worked out here from the chunks.
#include "signing/sparse_ext4.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "common/le.h"
#include "common/platform.h"
#include "signing/run_services.h"
#include "pipeline/make_driver.h"
#include "signing/section_checks.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using test::MakeFixture;
using test::ReadBytes;
using test::ShellQuote;

constexpr uint32_t kMiB = 1048576;

// A sparse image as the tests write it.
struct TestChunk {
  uint16_t type = 0;
  uint32_t blocks = 0;
  std::vector<uint8_t> payload;  // raw data, the fill pattern or the checksum
};
struct TestSparse {
  uint32_t blockSize = 4096;
  std::vector<TestChunk> chunks;
};

TestChunk Raw(uint32_t blocks, uint32_t blockSize, uint32_t seed) {
  return {0xCAC1, blocks, test::PatternBytes(size_t{blocks} * blockSize, seed)};
}
TestChunk Fill(uint32_t blocks, std::vector<uint8_t> pattern) { return {0xCAC2, blocks, std::move(pattern)}; }
TestChunk DontCare(uint32_t blocks) { return {0xCAC3, blocks, {}}; }
TestChunk Crc32(std::vector<uint8_t> value = {1, 2, 3, 4}) { return {0xCAC4, 0, std::move(value)}; }

uint64_t ExpandedBytes(const TestSparse& s) {
  uint64_t total = 0;
  for (const auto& c : s.chunks)
    if (c.type != 0xCAC4) total += uint64_t{c.blocks} * s.blockSize;
  return total;
}

std::vector<uint8_t> Serialize(const TestSparse& s) {
  std::vector<uint8_t> out(28);
  uint64_t blocks = 0;
  for (const auto& c : s.chunks)
    if (c.type != 0xCAC4) blocks += c.blocks;
  PutLe32(out.data(), 0xED26FF3A);
  PutLe16(out.data() + 4, 1);
  PutLe16(out.data() + 6, 0);
  PutLe16(out.data() + 8, 28);
  PutLe16(out.data() + 10, 12);
  PutLe32(out.data() + 12, s.blockSize);
  PutLe32(out.data() + 16, static_cast<uint32_t>(blocks));
  PutLe32(out.data() + 20, static_cast<uint32_t>(s.chunks.size()));
  for (const auto& c : s.chunks) {
    uint8_t h[12] = {};
    PutLe16(h, c.type);
    PutLe32(h + 4, c.blocks);
    PutLe32(h + 8, static_cast<uint32_t>(12 + c.payload.size()));
    out.insert(out.end(), h, h + 12);
    out.insert(out.end(), c.payload.begin(), c.payload.end());
  }
  return out;
}

// Reads what img2simg wrote, chunk by chunk.
TestSparse Parse(const std::vector<uint8_t>& bytes) {
  TestSparse s;
  s.blockSize = GetLe32(bytes.data() + 12);
  size_t pos = 28;
  for (uint32_t i = 0; i < GetLe32(bytes.data() + 20); ++i) {
    TestChunk c;
    c.type = GetLe16(bytes.data() + pos);
    c.blocks = GetLe32(bytes.data() + pos + 4);
    const uint32_t total = GetLe32(bytes.data() + pos + 8);
    c.payload.assign(bytes.begin() + static_cast<long>(pos) + 12, bytes.begin() + static_cast<long>(pos + total));
    s.chunks.push_back(std::move(c));
    pos += total;
  }
  return s;
}

// The map after the section blocks: the header, one entry per chunk with its
// index and data offset, entry 0 and one entry per MiB mark passed, zeros up
// to whole 8192-byte blocks, with room for the whole table.
std::vector<uint8_t> ExpectedMap(const std::vector<uint8_t>& sparse, const TestSparse& s) {
  std::vector<uint8_t> map(sparse.begin(), sparse.begin() + 28);
  std::vector<uint32_t> table{0};
  uint64_t offset = 0;
  for (size_t i = 0; i < s.chunks.size(); ++i) {
    const auto& c = s.chunks[i];
    uint8_t e[12];
    PutLe16(e, c.type);
    PutLe16(e + 2, static_cast<uint16_t>(i));
    PutLe32(e + 4, c.blocks);
    PutLe32(e + 8, static_cast<uint32_t>(offset));
    map.insert(map.end(), e, e + 12);
    const uint64_t size = c.type == 0xCAC4 ? 0 : uint64_t{c.blocks} * s.blockSize;
    for (uint64_t k = offset / kMiB; k < (offset + size) / kMiB; ++k) table.push_back(static_cast<uint32_t>(i));
    offset += size;
  }
  for (uint32_t v : table) {
    uint8_t b[4];
    PutLe32(b, v);
    map.insert(map.end(), b, b + 4);
  }
  const uint64_t marks = offset / kMiB;
  const uint64_t sized = 4 * marks + 12 * s.chunks.size() + 28;
  uint64_t length = (sized + 8191) / 8192 * 8192;
  if (length == sized) length += 8192;  // that size leaves no room for the last table entry
  EXPECT_GE(length, map.size());
  map.resize(length, 0);
  return map;
}

class SparseExt4Test : public ::testing::Test {
 protected:
  MakeFixture fx{2};
  std::string output;

  void SetUp() override {
    fx.LoadKeys();
    output = fx.outputDir + "system.img";
  }
  std::string SignPath() const { return fx.outputDir + "system_Sign.img"; }
  std::string TempSignPath() const { return fx.ws.app.TempDir() + "system_Sign.img"; }
  std::string DataPath(const std::string& sourceName) const { return fx.ws.app.TempDir() + sourceName; }

  bool Sign(const std::string& source, int32_t* doneSteps = nullptr) {
    RunServices ctx(fx.ws, fx.reporter);
    const bool ok = SignSparseExt4Image(ctx, output, source);
    if (doneSteps) *doneSteps = ctx.DoneSteps();
    return ok;
  }

  std::string WriteSparse(const std::string& name, const std::vector<uint8_t>& bytes) {
    test::WriteBytes(fx.inputDir + name, bytes);
    return fx.inputDir + name;
  }

  // The expansion as simg2img makes it.
  std::vector<uint8_t> Simg2img(const std::string& sparsePath) {
    const std::string raw = fx.root.Path() + "simg2img.raw";
    std::string log;
    EXPECT_EQ(test::RunShell("simg2img " + ShellQuote(sparsePath) + " " + ShellQuote(raw), &log), 0) << log;
    auto bytes = ReadBytes(raw);
    std::filesystem::remove(raw);
    return bytes;
  }

  // Every output of a successful signing.
  void ExpectSigned(const std::string& sourcePath, const TestSparse& s) {
    const auto sparse = ReadBytes(sourcePath);
    EXPECT_EQ(ReadBytes(output), sparse);
    const auto expanded = Simg2img(sourcePath);
    ASSERT_EQ(expanded.size(), ExpandedBytes(s));
    const auto data = ReadBytes(DataPath(std::filesystem::path(sourcePath).filename().string()));
    ASSERT_EQ(data.size(), expanded.size());
    EXPECT_TRUE(data == expanded) << "the expanded data differs from simg2img's";

    const size_t sections = (expanded.size() + kMiB - 1) / kMiB;
    const auto map = ExpectedMap(sparse, s);
    const auto signFile = ReadBytes(SignPath());
    ASSERT_EQ(signFile.size(), sections * 8192 + map.size() + 8192);
    const auto lines = fx.KeyLineTexts();
    test::ExpectSectionBlocks(signFile, expanded, output, fx.keyListPath, lines);
    EXPECT_TRUE(std::equal(map.begin(), map.end(), signFile.begin() + static_cast<long>(sections * 8192)))
        << "the sparse map differs";
    const auto temp = ReadBytes(TempSignPath());
    ASSERT_EQ(temp.size(), signFile.size() - 8192);
    EXPECT_TRUE(std::equal(temp.begin(), temp.end(), signFile.begin()));
    test::ExpectWholeFileBlock(signFile, TempSignPath(), fx.keyListPath, lines);
    EXPECT_EQ(GetLe32(signFile.data() + signFile.size() - 8192 + 52), sections * 8192 + map.size());
  }

  void ExpectNoSignature(const std::string& sourceName) {
    EXPECT_EQ(GetPathKind(SignPath()), PathKind::Missing);
    EXPECT_EQ(GetPathKind(TempSignPath()), PathKind::Missing);
    EXPECT_EQ(GetPathKind(DataPath(sourceName)), PathKind::Missing);
  }
};

TEST_F(SparseExt4Test, SignsAnExt4FileSystemMadeByMke2fsAndImg2simg) {
  const std::string work = fx.root.Path() + "ext4/";
  std::filesystem::create_directories(work + "root/etc");
  test::WriteBytes(work + "root/firmware.bin", test::PatternBytes(2500000, 11));
  std::vector<uint8_t> pattern;
  for (int i = 0; i < 65536; ++i) pattern.insert(pattern.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  test::WriteBytes(work + "root/pattern.bin", pattern);
  test::WriteText(work + "root/etc/build.prop", "ro.build.id=TEST\n");
  std::string log;
  ASSERT_EQ(test::RunShell("mke2fs -q -F -t ext4 -b 4096 -d " + ShellQuote(work + "root") + " " +
                               ShellQuote(work + "fs.raw") + " 24M",
                           &log),
            0)
      << log;
  ASSERT_EQ(test::RunShell("img2simg " + ShellQuote(work + "fs.raw") + " " + ShellQuote(work + "fs.simg"), &log), 0)
      << log;
  // simg2img gives back the file system image: the oracle agrees with itself.
  ASSERT_EQ(Simg2img(work + "fs.simg"), ReadBytes(work + "fs.raw"));

  // img2simg writes raw and fill chunks; a zero fill becomes a don't-care
  // chunk and a CRC32 chunk goes in, as other sparse writers do.
  TestSparse s = Parse(ReadBytes(work + "fs.simg"));
  bool dontCare = false, patternFill = false;
  for (auto& c : s.chunks) {
    if (!dontCare && c.type == 0xCAC2 && c.payload == std::vector<uint8_t>{0, 0, 0, 0}) {
      c = DontCare(c.blocks);
      dontCare = true;
    }
    patternFill = patternFill || (c.type == 0xCAC2 && c.payload == std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF});
  }
  ASSERT_TRUE(dontCare);
  ASSERT_TRUE(patternFill);
  s.chunks.insert(s.chunks.begin() + 1, Crc32());
  const std::string source = WriteSparse("system.img", Serialize(s));
  ASSERT_EQ(Simg2img(source), ReadBytes(work + "fs.raw"));

  int32_t done = 0;
  ASSERT_TRUE(Sign(source, &done));
  EXPECT_TRUE(fx.reporter.Messages().empty());
  EXPECT_EQ(done, 3);
  EXPECT_EQ(fx.reporter.Positions(), (std::vector<int>{1, 2, 3}));
  ExpectSigned(source, s);
}

TEST_F(SparseExt4Test, SectionsAndIndexTableAtMiBMarks) {
  // Chunks ending exactly on the 1, 2 and 3 MiB marks: no short section, and
  // each mark is named by the chunk that reaches it.
  TestSparse exact;
  exact.chunks = {Raw(256, 4096, 1), DontCare(256), Raw(256, 4096, 2)};
  const std::string a = WriteSparse("system.img", Serialize(exact));
  ASSERT_TRUE(Sign(a));
  ExpectSigned(a, exact);
  const auto signFile = ReadBytes(SignPath());
  const uint8_t* table = signFile.data() + 3 * 8192 + 28 + 3 * 12;
  EXPECT_EQ(std::vector<uint32_t>({GetLe32(table), GetLe32(table + 4), GetLe32(table + 8), GetLe32(table + 12)}),
            (std::vector<uint32_t>{0, 0, 1, 2}));
  EXPECT_EQ(GetLe32(table + 16), 0u);

  // A mix whose last section is short; fill patterns keep their byte order.
  TestSparse mixed;
  mixed.chunks = {Fill(100, {1, 2, 3, 4}), Raw(300, 4096, 3),           Crc32(),    DontCare(57),
                  Raw(260, 4096, 4),       Fill(3, {0xFF, 0, 0x80, 7}), DontCare(1)};
  const std::string b = WriteSparse("mixed.img", Serialize(mixed));
  ASSERT_TRUE(Sign(b));
  ExpectSigned(b, mixed);
  EXPECT_NE(ExpandedBytes(mixed) % kMiB, 0u);
  EXPECT_TRUE(fx.reporter.Messages().empty());
}

TEST_F(SparseExt4Test, SourceLengthAroundTwoMiB) {
  // 28 + 12 + 262139 x 8 = 2097152 bytes: long enough; two sections, the second short.
  TestSparse s;
  s.blockSize = 8;
  s.chunks = {Raw(262139, 8, 5)};
  const auto bytes = Serialize(s);
  ASSERT_EQ(bytes.size(), 2097152u);
  const std::string ok = WriteSparse("system.img", bytes);
  ASSERT_TRUE(Sign(ok));
  ExpectSigned(ok, s);
  EXPECT_EQ(GetLe32(ReadBytes(SignPath()).data() + 8192 + 52), 2097112u - kMiB);

  // One byte less is refused before the copy.
  std::filesystem::remove(output);
  const std::string shortSource = WriteSparse("short.img", std::vector<uint8_t>(bytes.begin(), bytes.end() - 1));
  int32_t done = 0;
  EXPECT_FALSE(Sign(shortSource, &done));
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Section size > File length/2!"});
  EXPECT_EQ(done, 0);
  EXPECT_EQ(GetPathKind(output), PathKind::Missing);
}

TEST_F(SparseExt4Test, MapKeepsRoomForTheLastIndexEntry) {
  // 2045 chunks and 2 MiB marks: 4 x 2 + 12 x 2045 + 28 = 24576, an exact
  // multiple of 8192, so the map grows by one block to hold the third entry.
  TestSparse s;
  s.blockSize = 4;
  s.chunks.push_back(Raw(524288, 4, 6));
  for (int i = 0; i < 2044; ++i) s.chunks.push_back(DontCare(1));
  const std::string source = WriteSparse("system.img", Serialize(s));
  ASSERT_TRUE(Sign(source));
  ExpectSigned(source, s);
  const auto signFile = ReadBytes(SignPath());
  ASSERT_EQ(signFile.size(), 3 * 8192 + 32768 + 8192u);
  const uint8_t* table = signFile.data() + 3 * 8192 + 28 + 2045 * 12;
  EXPECT_EQ(std::vector<uint32_t>({GetLe32(table), GetLe32(table + 4), GetLe32(table + 8)}),
            (std::vector<uint32_t>{0, 0, 0}));
}

// A rebuild that fails leaves the previous X.img and X_Sign.img byte for byte.
TEST_F(SparseExt4Test, MalformedImagesAreRefusedLeavingThePreviousPair) {
  TestSparse s;
  s.chunks = {Raw(300, 4096, 7), Fill(10, {9, 9, 9, 9}), DontCare(20), Raw(300, 4096, 8)};
  const auto good = Serialize(s);
  ASSERT_TRUE(Sign(WriteSparse("good.img", good)));
  const auto oldImage = ReadBytes(output);
  const auto oldSign = ReadBytes(SignPath());
  const size_t c1 = 28 + 12 + 300 * 4096;  // the fill chunk's header
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> change;
  };
  const std::vector<Case> cases = {
      {"magic", [](auto& b) { b[0] ^= 1; }},
      {"major version 2", [](auto& b) { PutLe16(b.data() + 4, 2); }},
      {"file header size 32", [](auto& b) { PutLe16(b.data() + 8, 32); }},
      {"chunk header size 16", [](auto& b) { PutLe16(b.data() + 10, 16); }},
      {"block size 0", [](auto& b) { PutLe32(b.data() + 12, 0); }},
      {"block size 4098", [](auto& b) { PutLe32(b.data() + 12, 4098); }},
      {"total blocks one more", [](auto& b) { PutLe32(b.data() + 16, GetLe32(b.data() + 16) + 1); }},
      {"total blocks one fewer", [](auto& b) { PutLe32(b.data() + 16, GetLe32(b.data() + 16) - 1); }},
      {"one chunk more than present", [](auto& b) { PutLe32(b.data() + 20, 5); }},
      {"one chunk fewer", [](auto& b) { PutLe32(b.data() + 20, 3); }},
      {"huge chunk count", [](auto& b) { PutLe32(b.data() + 20, 0xFFFFFFFF); }},
      {"raw total size", [](auto& b) { PutLe32(b.data() + 28 + 8, GetLe32(b.data() + 28 + 8) + 4); }},
      {"raw chunk past the end",
       [](auto& b) {
         PutLe32(b.data() + 28 + 4, 100000);
         PutLe32(b.data() + 28 + 8, 12 + 100000 * 4096);
       }},
      {"fill total size 20", [c1](auto& b) { PutLe32(b.data() + c1 + 8, 20); }},
      {"unknown chunk type", [c1](auto& b) { PutLe16(b.data() + c1, 0xCAC5); }},
      {"CRC32 chunk naming blocks", [c1](auto& b) { PutLe16(b.data() + c1, 0xCAC4); }},
      {"truncated last chunk", [](auto& b) { b.resize(b.size() - 1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fx.reporter.Clear();
    std::vector<uint8_t> bytes = good;
    c.change(bytes);
    const std::string source = WriteSparse("bad.img", bytes);
    int32_t done = 0;
    EXPECT_FALSE(Sign(source, &done));
    EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"invalid sparse Ext4 format"});
    EXPECT_EQ(done, 0);
    EXPECT_EQ(ReadBytes(output), oldImage);
    EXPECT_EQ(ReadBytes(SignPath()), oldSign);
  }
}

TEST_F(SparseExt4Test, ExpansionOfFourGiBIsRefusedNamingTheFile) {
  TestSparse s;
  s.chunks = {Raw(600, 4096, 9), DontCare(0x100000 - 600)};
  ASSERT_EQ(ExpandedBytes(s), 1ull << 32);
  const std::string source = WriteSparse("huge.img", Serialize(s));
  EXPECT_FALSE(Sign(source));
  EXPECT_EQ(fx.reporter.Messages(),
            std::vector<std::string>{"The sparse image " + source + " expands to 4 GiB or more and cannot be signed!"});
  ExpectNoSignature("huge.img");
}

TEST_F(SparseExt4Test, FailuresLeaveNoHalfWrittenSignature) {
  TestSparse s;
  s.chunks = {Raw(600, 4096, 10)};
  const auto bytes = Serialize(s);

  // The expanded data file would take the source's place.
  const std::string inTemp = fx.ws.app.TempDir() + "system.img";
  test::WriteBytes(inTemp, bytes);
  EXPECT_FALSE(Sign(inTemp));
  EXPECT_EQ(fx.reporter.Messages(),
            std::vector<std::string>{"The expanded data file " + inTemp + " would overwrite " + inTemp +
                                     "; choose another output folder or source folder!"});
  EXPECT_EQ(ReadBytes(inTemp), bytes);
  std::filesystem::remove(inTemp);

  // Key lines that do not hold a key: nothing is copied, no signature file appears.
  fx.reporter.Clear();
  const std::string source = WriteSparse("system.img", bytes);
  fx.ws.keyLines.Truncate(5);
  EXPECT_FALSE(Sign(source));
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Failed to read mpi file!"});
  EXPECT_EQ(GetPathKind(output), PathKind::Missing);
  EXPECT_EQ(GetPathKind(SignPath()), PathKind::Missing);
  EXPECT_EQ(GetPathKind(TempSignPath()), PathKind::Missing);

  fx.reporter.Clear();
  EXPECT_FALSE(Sign(fx.inputDir + "missing.img"));
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Open file " + fx.inputDir + "missing.img failed!"});
}

// Each file the signer cannot create names itself in its own message; a
// folder standing where the file goes is never replaced.
TEST_F(SparseExt4Test, FilesThatCannotBeCreatedAreNamed) {
  TestSparse s;
  s.chunks = {Raw(600, 4096, 17)};
  const auto bytes = Serialize(s);
  const std::string source = WriteSparse("system.img", bytes);
  struct Case {
    std::string folder;  // made where a file would go
    std::string message;
    int32_t steps;
  };
  const std::vector<Case> cases = {
      {output, "file " + output + " is being used!", 0},
      {DataPath("system.img"), "Open file failed!!!", 1},
      {TempSignPath(), "Open " + TempSignPath() + " file failed!", 1},
      {SignPath(), "Failed to create the output file " + SignPath() + "!", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    fx.reporter.Clear();
    std::filesystem::create_directory(c.folder);
    int32_t done = 0;
    EXPECT_FALSE(Sign(source, &done));
    EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{c.message});
    EXPECT_EQ(done, c.steps);
    EXPECT_TRUE(std::filesystem::is_directory(c.folder));
    std::filesystem::remove(c.folder);
    for (const std::string& path : {output, DataPath("system.img"), TempSignPath(), SignPath()})
      std::filesystem::remove(path);
  }
}

// With a fixed epoch the bytes are the same run after run, and whatever the
// number of hashing threads: sections that straddle chunks, a short last one.
TEST_F(SparseExt4Test, SigningTwiceWithAFixedEpochGivesTheSameBytes) {
  TestSparse s;
  s.chunks = {Raw(520, 4096, 12), Fill(7, {5, 6, 7, 8}), DontCare(3), Raw(1800, 4096, 13), Fill(300, {1, 2, 3, 4})};
  const std::string source = WriteSparse("system.img", Serialize(s));
  ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
  std::vector<uint8_t> first, firstData;
  for (const unsigned threads : test::kThreadCounts) {
    test::ScopedWorkerThreads pool(threads);
    ASSERT_TRUE(Sign(source)) << threads;
    if (first.empty()) {
      first = ReadBytes(SignPath());
      firstData = ReadBytes(DataPath("system.img"));
    } else {
      EXPECT_EQ(ReadBytes(SignPath()), first) << threads << " threads";
      EXPECT_EQ(ReadBytes(DataPath("system.img")), firstData) << threads << " threads";
    }
  }
  ::unsetenv("SOURCE_DATE_EPOCH");
  // (520 + 7 + 3 + 1800 + 300) x 4 KiB = 10.27 MiB: eleven sections, then the map and the whole-file block.
  ASSERT_EQ(firstData.size(), 2630u * 4096);
  ASSERT_EQ(first.size(), 11 * 8192 + 8192 + 8192u);
  // 1700000000 is 2023-11-14 22:13:20 UTC: the sections and the whole-file block.
  for (const size_t block : {size_t{0}, size_t{8192}, size_t{10 * 8192}, first.size() - 8192}) {
    EXPECT_EQ(GetLe32(first.data() + block + 40), (22u << 16) + (13u << 8) + 14u) << block;
    EXPECT_EQ(GetLe32(first.data() + block + 44), (22u << 16) + (13u << 8) + 20u) << block;
  }
}

TEST(SparseValidationTest, BufferChecksMatchTheSignersVerdicts) {
  TestSparse s;
  s.chunks = {Raw(2, 4096, 13), Crc32(), Fill(1, {1, 1, 1, 1}), DontCare(5)};
  auto bytes = Serialize(s);
  EXPECT_EQ(ValidateSparseImage(bytes.data(), bytes.size()), SparseVerdict::Ok);
  EXPECT_EQ(ValidateSparseImage(bytes.data(), 27), SparseVerdict::Invalid);
  EXPECT_EQ(ValidateSparseImage(bytes.data(), bytes.size() - 1), SparseVerdict::Invalid);
  PutLe32(bytes.data() + 16, 0x100000);
  PutLe32(bytes.data() + 12, 4096);
  EXPECT_EQ(ValidateSparseImage(bytes.data(), bytes.size()), SparseVerdict::TooLarge);
  PutLe32(bytes.data() + 16, 0);
  EXPECT_EQ(ValidateSparseImage(bytes.data(), bytes.size()), SparseVerdict::Invalid);
}

// A whole Make run over the three file-system types on a later-generation board.
TEST(FileSystemMakeRunTest, SignsExt4UbiAndYaffsRows) {
  MakeFixture fx(2);
  fx.LoadKeys();
  TestSparse s;
  s.chunks = {Raw(520, 4096, 14), DontCare(10)};
  fx.AddRow("system", "Ext4 File System", "EMMC_8G", "No", "system.img", Serialize(s));
  fx.AddRow("rootfs", "Ubi File System", "NAND_2K", "No", "rootfs.ubi", test::PatternBytes(2200000, 15));
  fx.AddRow("data", "Yaffs File System", "NAND_2K", "No", "data.yaffs", test::PatternBytes(1100000, 16));
  EXPECT_TRUE(RunMake(fx.ws, fx.reporter).Succeeded());
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"All files signed successfully!"});
  EXPECT_EQ(fx.reporter.Positions(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 6, 0}));
  for (const char* name : {"system.img", "system_Sign.img", "rootfs.img", "rootfs_Sign.img", "data.img"})
    EXPECT_EQ(GetPathKind(fx.outputDir + name), PathKind::File) << name;
  // NAND 2K with ECC 4: 64 spare bytes, raw blocks of 135168 bytes.
  const auto yaffs = ReadBytes(fx.outputDir + "data.img");
  EXPECT_EQ(GetLe32(yaffs.data() + 9 * 135168 + 48), 64u);
}

}  // namespace
}  // namespace tarnel
