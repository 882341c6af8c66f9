#include "package/zip_archive.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "package/archive_oracles.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using test::Q;
using test::ReadBytes;
using test::RunShell;
using test::WriteBytes;

std::vector<uint8_t> EmptyArchive() {
  std::vector<uint8_t> end(22, 0);
  end[0] = 'P', end[1] = 'K', end[2] = 5, end[3] = 6;
  return end;
}

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

// Sets a file's modification time (seconds since the epoch).
void SetMtime(const std::string& path, std::time_t t) {
  struct timespec times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
    ::tzset();
  }
  ~ScopedEnv() {
    if (had_) ::setenv(name_, old_.c_str(), 1);
    else ::unsetenv(name_);
    ::tzset();
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

class ZipArchiveTest : public ::testing::Test {
 protected:
  test::TempFolder dir;
  ScopedEnv noEpoch{"SOURCE_DATE_EPOCH", nullptr};

  std::string File(const std::string& name, const std::vector<uint8_t>& content) {
    WriteBytes(dir / name, content);
    return dir / name;
  }
  // Appends the files (disk name = entry name) to a copy of `base`.
  std::string Append(const std::string& archiveName, const std::vector<uint8_t>& base,
                     const std::vector<std::string>& names) {
    const std::string path = File(archiveName, base);
    CZipArchive zip;
    EXPECT_TRUE(zip.OpenForAppend(path));
    for (const auto& n : names) EXPECT_TRUE(zip.AddDiskFile(dir / n, n)) << n;
    EXPECT_TRUE(zip.Close());
    return path;
  }
};

TEST_F(ZipArchiveTest, FileExistsTellsFilesFromFolders) {
  EXPECT_EQ(FileExists(File("a", Text("x"))), 1);
  EXPECT_EQ(FileExists(dir.Path()), -1);
  EXPECT_EQ(FileExists(dir / "missing"), 0);
}

// New entries of every size class, read back by unzip, zipinfo and the JDK.
TEST_F(ZipArchiveTest, NewEntriesAreReadByOtherReaders) {
  const std::vector<uint8_t> big = test::PatternBytes(200 * 1024 + 17, 7);  // several 64 KiB pieces
  std::string text;
  while (text.size() < 300000) text += "partition image line " + std::to_string(text.size()) + "\n";
  const std::map<std::string, std::vector<uint8_t>> files = {
      {"empty.img", {}}, {"four.img", Text("1234")}, {"five.img", Text("12345")},
      {"big.img", big}, {"text.img", Text(text)}};
  for (const auto& [name, content] : files) File(name, content);
  const std::vector<std::string> order = {"empty.img", "four.img", "five.img", "big.img", "text.img"};
  const std::string archive = Append("new.zip", EmptyArchive(), order);

  std::string out;
  EXPECT_TRUE(test::UnzipTestPasses(archive, &out)) << out;
  EXPECT_EQ(test::ZipNames(archive), order);
  for (const auto& [name, content] : files)
    EXPECT_EQ(test::UnzipEntry(archive, name, dir / "x.out"), content) << name;

  // Stored below 5 bytes, deflated from 5; Unix attributes of the disk file.
  EXPECT_NE(test::ZipinfoLine(archive, "empty.img").find(" stor "), std::string::npos);
  EXPECT_NE(test::ZipinfoLine(archive, "four.img").find(" stor "), std::string::npos);
  EXPECT_NE(test::ZipinfoLine(archive, "five.img").find(" defN "), std::string::npos);
  EXPECT_NE(test::ZipinfoLine(archive, "big.img").find(" defN "), std::string::npos);
  ASSERT_EQ(::chmod((dir / "five.img").c_str(), 0640), 0);
  const std::string modes = Append("modes.zip", EmptyArchive(), {"five.img"});
  const std::string line = test::ZipinfoLine(modes, "five.img");
  EXPECT_EQ(line.rfind("-rw-r-----", 0), 0u) << line;
  EXPECT_NE(line.find(" unx "), std::string::npos) << line;

  // The JDK through the central directory and through the local headers.
  if (!test::HaveJdk()) GTEST_SKIP() << "no JDK: reading with java.util.zip skipped";
  const auto lines = test::SplitLines(test::JavaZipListing(archive));
  ASSERT_EQ(lines.size(), 10u);
  const int methods[] = {0, 0, 8, 8, 8};
  for (size_t i = 0; i < order.size(); ++i) {
    std::istringstream c(lines[i]);
    std::string tag, name, crcData, crcRecord;
    int method = -1;
    size_t size = 0;
    c >> tag >> name >> method >> size >> crcData >> crcRecord;
    EXPECT_EQ(name, order[i]);
    EXPECT_EQ(method, methods[i]) << name;
    EXPECT_EQ(size, files.at(name).size()) << name;
    EXPECT_EQ(crcData, crcRecord) << name;
    EXPECT_EQ(lines[order.size() + i], "L " + name + " " + std::to_string(size) + " " + crcData);
  }
}

// Entries are deflated in independent blocks on the worker threads: the
// archive is byte for byte the same with any number of threads, for sizes on
// either side of a block boundary, and unzip and the JDK read it back.
TEST_F(ZipArchiveTest, DeflatedEntriesAreTheSameWithAnyThreadCount) {
  constexpr size_t kBlock = 128 * 1024;
  std::string text;
  while (text.size() < 5 * kBlock) text += "rootfs line " + std::to_string(text.size() % 9973) + "\n";
  std::vector<uint8_t> mixed = Text(text);
  const std::vector<uint8_t> noise = test::PatternBytes(2 * kBlock + 3, 11);
  mixed.insert(mixed.begin() + kBlock / 2, noise.begin(), noise.end());
  const std::map<std::string, std::vector<uint8_t>> files = {
      {"five.img", Text("12345")},
      {"under.img", std::vector<uint8_t>(mixed.begin(), mixed.begin() + kBlock - 1)},
      {"block.img", std::vector<uint8_t>(mixed.begin(), mixed.begin() + kBlock)},
      {"over.img", std::vector<uint8_t>(mixed.begin(), mixed.begin() + kBlock + 1)},
      {"mixed.img", mixed}};
  std::vector<std::string> order;
  for (const auto& [name, content] : files) {
    File(name, content);
    order.push_back(name);
  }
  std::vector<uint8_t> first;
  std::string archive;
  for (unsigned threads : test::kThreadCounts) {
    test::ScopedWorkerThreads pool(threads);
    archive = Append("threads" + std::to_string(threads) + ".zip", EmptyArchive(), order);
    if (first.empty()) first = ReadBytes(archive);
    else EXPECT_EQ(ReadBytes(archive), first) << threads << " threads";
  }
  std::string out;
  EXPECT_TRUE(test::UnzipTestPasses(archive, &out)) << out;
  for (const auto& [name, content] : files)
    EXPECT_EQ(test::UnzipEntry(archive, name, dir / "x.out"), content) << name;
  if (!test::HaveJdk()) GTEST_SKIP() << "no JDK: reading with java.util.zip skipped";
  const auto lines = test::SplitLines(test::JavaZipListing(archive));
  ASSERT_EQ(lines.size(), 2 * order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    std::istringstream c(lines[i]);
    std::string tag, name, crcData, crcRecord;
    int method = -1;
    size_t size = 0;
    c >> tag >> name >> method >> size >> crcData >> crcRecord;
    EXPECT_EQ(size, files.at(name).size()) << name;
    EXPECT_EQ(crcData, crcRecord) << name;
  }
}

// Old entries with data descriptors, extra fields and comments keep their
// bytes; the directory records come back unchanged, the comment stays.
TEST_F(ZipArchiveTest, TemplateEntriesAreKeptByteForByte) {
  const std::string templ = dir / "template.zip";
  test::WritePythonTemplate(templ);
  const std::vector<uint8_t> before = ReadBytes(templ);
  // Where the old directory starts and how long it is, from the end record.
  const size_t commentLength = std::string("template comment").size();
  const uint8_t* end = before.data() + before.size() - commentLength - 22;
  ASSERT_EQ(end[0], 'P');
  const size_t cdSize = end[12] | end[13] << 8 | end[14] << 16;
  const size_t cdOffset = end[16] | end[17] << 8 | end[18] << 16;
  const std::vector<uint8_t> oldDirectory(before.begin() + cdOffset, before.begin() + cdOffset + cdSize);

  File("kernel.img", test::PatternBytes(70000, 3));
  File("four.img", Text("abcd"));
  const std::string archive = Append("package.zip", before, {"kernel.img", "four.img"});
  const std::vector<uint8_t> after = ReadBytes(archive);

  ASSERT_GT(after.size(), before.size());
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + cdOffset, after.begin())) << "old entries moved";
  const auto found = std::search(after.begin() + cdOffset, after.end(), oldDirectory.begin(), oldDirectory.end());
  ASSERT_NE(found, after.end()) << "old directory records changed";

  std::string out;
  EXPECT_TRUE(test::UnzipTestPasses(archive, &out)) << out;
  EXPECT_NE(out.find("template comment"), std::string::npos) << out;
  EXPECT_EQ(test::ZipNames(archive),
            (std::vector<std::string>{"META-INF/com/google/android/update-binary",
                                      "META-INF/com/google/android/updater-script", "kernel.img", "four.img"}));
  std::string script;
  for (int i = 0; i < 50; ++i) script += "#!/sbin/sh\nexit 0\n";
  EXPECT_EQ(test::UnzipEntry(archive, "META-INF/com/google/android/update-binary", dir / "x"), Text(script));
  // java.util.zip's ZipFile, as signapk reads it.
  if (test::HaveJdk()) {
    const auto javaLines = test::SplitLines(test::JavaZipListing(archive, false));
    ASSERT_EQ(javaLines.size(), 4u);
    EXPECT_EQ(javaLines[2].rfind("C kernel.img 8 70000 ", 0), 0u) << javaLines[2];
  }

  // An archive made by Info-ZIP's zip (extra fields in every header, a comment).
  File("a.txt", Text("first entry\n"));
  ASSERT_EQ(RunShell("cd " + Q(dir.Path()) + " && zip -q -X0 infozip.zip a.txt && zip -q infozip.zip a.txt "
                     "&& echo 'zip comment' | zip -q -z infozip.zip"), 0);
  const std::vector<uint8_t> infoBefore = ReadBytes(dir / "infozip.zip");
  const std::string info = Append("infozip2.zip", infoBefore, {"kernel.img"});
  EXPECT_TRUE(test::UnzipTestPasses(info, &out)) << out;
  EXPECT_NE(out.find("zip comment"), std::string::npos) << out;
  EXPECT_EQ(test::ZipNames(info), (std::vector<std::string>{"a.txt", "kernel.img"}));
}

// Entry times: SOURCE_DATE_EPOCH in UTC makes two runs identical whatever
// the files' times; otherwise the file's time in local time.
TEST_F(ZipArchiveTest, EntryTimesAndReproducibility) {
  File("a.img", test::PatternBytes(5000, 1));
  File("b.img", Text("xy"));
  {
    ScopedEnv epoch("SOURCE_DATE_EPOCH", "1700000000");  // 2023-11-14 22:13:20 UTC
    SetMtime(dir / "a.img", 1000000000);
    const auto first = ReadBytes(Append("one.zip", EmptyArchive(), {"a.img", "b.img"}));
    SetMtime(dir / "a.img", 1200000000);
    SetMtime(dir / "b.img", 1300000000);
    const std::string second = Append("two.zip", EmptyArchive(), {"a.img", "b.img"});
    EXPECT_EQ(first, ReadBytes(second));
    EXPECT_NE(test::ZipinfoLine(second, "a.img").find(" 20231114.221320 "), std::string::npos)
        << test::ZipinfoLine(second, "a.img");
  }
  {
    ScopedEnv tz("TZ", "UTC-8");
    const std::time_t t = 1616475966;  // an even second
    SetMtime(dir / "a.img", t);
    const std::string archive = Append("local.zip", EmptyArchive(), {"a.img"});
    std::tm local{};
    ASSERT_NE(localtime_r(&t, &local), nullptr);
    char expected[32];
    std::strftime(expected, sizeof expected, " %Y%m%d.%H%M%S ", &local);
    EXPECT_NE(test::ZipinfoLine(archive, "a.img").find(expected), std::string::npos)
        << expected << " in " << test::ZipinfoLine(archive, "a.img");
  }
}

// What cannot be added leaves the archive as it was; misuse is refused.
TEST_F(ZipArchiveTest, FailedAdditionsLeaveAValidArchive) {
  File("a.img", test::PatternBytes(100000, 2));
  File("b.img", Text("bee"));
  const std::string path = File("p.zip", EmptyArchive());
  CZipArchive zip;
  EXPECT_FALSE(zip.AddDiskFile(dir / "a.img", "a.img"));
  EXPECT_FALSE(zip.Close());
  ASSERT_TRUE(zip.OpenForAppend(path));
  EXPECT_FALSE(zip.OpenForAppend(path));
  EXPECT_TRUE(zip.AddDiskFile(dir / "a.img", "a.img"));
  EXPECT_FALSE(zip.AddDiskFile(dir / "missing.img", "missing.img"));
  EXPECT_FALSE(zip.AddDiskFile(dir.Path(), "folder.img"));
  EXPECT_FALSE(zip.AddDiskFile(dir / "b.img", ""));
  // A sparse file of 4 GiB would need ZIP64: refused before anything is written.
  {
    std::ofstream huge(dir / "huge.img", std::ios::binary);
    huge.seekp(static_cast<std::streamoff>(4ull << 30) - 1);
    huge.put('\0');
  }
  EXPECT_FALSE(zip.AddDiskFile(dir / "huge.img", "huge.img"));
  EXPECT_TRUE(zip.AddDiskFile(dir / "b.img", "b.img"));
  EXPECT_TRUE(zip.Close());
  EXPECT_FALSE(zip.IsOpen());

  std::string out;
  EXPECT_TRUE(test::UnzipTestPasses(path, &out)) << out;
  EXPECT_EQ(test::ZipNames(path), (std::vector<std::string>{"a.img", "b.img"}));
  EXPECT_EQ(test::UnzipEntry(path, "b.img", dir / "x"), Text("bee"));

  // The object can open the next archive once closed.
  ASSERT_TRUE(zip.OpenForAppend(path));
  EXPECT_TRUE(zip.Close());
  EXPECT_EQ(test::ZipNames(path), (std::vector<std::string>{"a.img", "b.img"}));
}

// 65534 entries is the most an archive without ZIP64 may hold here, and an
// archive may not grow to 4 GiB: additions past either are refused and the
// archive stays valid.
TEST_F(ZipArchiveTest, ArchivesThatWouldNeedZip64AreRefused) {
  const std::string many = dir / "many.zip";
  ASSERT_EQ(RunShell("python3 -c " +
                     Q("import sys, zipfile\n"
                       "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                       "    for i in range(65534): z.writestr('e%05d' % i, b'')\n") +
                     " " + Q(many)),
            0);
  File("one.img", Text("one"));
  {
    CZipArchive zip;
    ASSERT_TRUE(zip.OpenForAppend(many));
    EXPECT_FALSE(zip.AddDiskFile(dir / "one.img", "one.img"));
    EXPECT_TRUE(zip.Close());
  }
  std::string out;
  EXPECT_EQ(RunShell("unzip -tq " + Q(many), &out), 0) << out;
  EXPECT_EQ(test::ZipNames(many).size(), 65534u);

  // One stored entry that leaves less than 300 bytes below 4 GiB (sparse).
  const std::string near = dir / "near.zip";
  ASSERT_EQ(RunShell("python3 -c " +
                     Q("import struct, sys\n"
                       "size = 0xFFFFFFFE - 400\n"
                       "name = b'big.img'\n"
                       "with open(sys.argv[1], 'wb') as f:\n"
                       "    f.write(struct.pack('<IHHHHHIIIHH', 0x04034b50, 10, 0, 0, 0, 0x21, 0, size, size, len(name), 0) + name)\n"
                       "    f.seek(30 + len(name) + size)\n"
                       "    cd = struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 0x031e, 10, 0, 0, 0, 0x21, 0, size, size,\n"
                       "                     len(name), 0, 0, 0, 0, 0o100644 << 16, 0) + name\n"
                       "    f.write(cd + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 1, 1, len(cd), 30 + len(name) + size, 0))\n") +
                     " " + Q(near)),
            0);
  const uint64_t nearSize = std::filesystem::file_size(near);
  File("three-hundred.img", test::PatternBytes(300, 9));
  {
    CZipArchive zip;
    ASSERT_TRUE(zip.OpenForAppend(near));
    EXPECT_FALSE(zip.AddDiskFile(dir / "three-hundred.img", "three-hundred.img"));
    EXPECT_TRUE(zip.AddDiskFile(dir / "one.img", "one.img"));  // 3 stored bytes still fit
    EXPECT_TRUE(zip.Close());
  }
  EXPECT_EQ(std::filesystem::file_size(near), nearSize + 30 + 7 + 3 + 46 + 7);
  EXPECT_LT(std::filesystem::file_size(near), 0xFFFFFFFFull);
  EXPECT_EQ(RunShell("unzip -l " + Q(near), &out), 0) << out;
  EXPECT_EQ(test::ZipNames(near), (std::vector<std::string>{"big.img", "one.img"}));
  EXPECT_EQ(test::UnzipEntry(near, "one.img", dir / "x"), Text("one"));
}

// Damaged templates and foreign files: refused, not crashed on, not changed.
TEST_F(ZipArchiveTest, DamagedTemplatesAreRefused) {
  const std::string templ = dir / "template.zip";
  test::WritePythonTemplate(templ);
  const std::vector<uint8_t> good = ReadBytes(templ);
  const size_t endAt = good.size() - 16 - 22;
  const size_t cdOffset = good[endAt + 16] | good[endAt + 17] << 8;
  const auto at = [&](size_t offset, std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> v = good;
    std::copy(bytes.begin(), bytes.end(), v.begin() + static_cast<std::ptrdiff_t>(offset));
    return v;
  };
  const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
  const std::vector<uint8_t> lone = EmptyArchive();

  std::vector<std::pair<std::string, std::vector<uint8_t>>> cases = {
      {"empty file", {}},
      {"end record alone, cut by one byte", std::vector<uint8_t>(lone.begin(), lone.end() - 1)},
      {"foreign file renamed .zip", Text(png + std::string(200, 'x'))},
      {"text file", Text("PK is not enough\n")},
      {"directory past the end of the file", at(endAt + 16, {0xF0, 0xFF, 0, 0})},
      {"directory size too large", at(endAt + 12, {0xFF, 0x0F, 0, 0})},
      {"more entries than records", at(endAt + 8, {3, 0, 3, 0})},
      {"entry counts disagree", at(endAt + 8, {1, 0})},
      {"second disk", at(endAt + 4, {1, 0})},
      {"ZIP64 entry count", at(endAt + 8, {0xFF, 0xFF, 0xFF, 0xFF})},
      {"damaged directory signature", at(cdOffset, {'X'})},
      {"local header offset outside", at(cdOffset + 42, {0xFF, 0xFF, 0xFF, 0x7F})},
      {"local header offset into the directory", at(cdOffset + 42, {static_cast<uint8_t>(cdOffset - 10),
                                                                    static_cast<uint8_t>((cdOffset - 10) >> 8)})},
      {"damaged local header signature", at(1, {'Q'})},
      {"compressed size past the directory", at(cdOffset + 20, {0xFF, 0xFF, 0, 0})},
      {"comment length wrong", at(endAt + 20, {17, 0})},
      {"trailing bytes", [&] { auto v = good; v.push_back(0); return v; }()},
  };
  for (size_t cut = 0; cut < good.size(); cut += 3)
    cases.push_back({"cut to " + std::to_string(cut), std::vector<uint8_t>(good.begin(), good.begin() + cut)});

  for (const auto& [what, bytes] : cases) {
    const std::string path = File("damaged.zip", bytes);
    CZipArchive zip;
    EXPECT_FALSE(zip.OpenForAppend(path)) << what;
    EXPECT_FALSE(zip.IsOpen()) << what;
    EXPECT_EQ(ReadBytes(path), bytes) << what;
  }
  CZipArchive zip;
  EXPECT_FALSE(zip.OpenForAppend(dir / "missing.zip"));
  EXPECT_FALSE(zip.OpenForAppend(dir.Path()));
  ASSERT_TRUE(zip.OpenForAppend(File("good.zip", good)));  // the undamaged one opens
  EXPECT_TRUE(zip.Close());
  EXPECT_EQ(ReadBytes(dir / "good.zip"), good);  // nothing added: unchanged
}

}  // namespace
}  // namespace tarnel
