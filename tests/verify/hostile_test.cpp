// verify and info on files made to hurt them: archives that amplify, header
// fields that ask for huge buffers, things that are not files, names that
// forge output lines. Each case is bounded in time and memory; archives are
// built here with zlib and cross-checked with unzip.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/le.h"
#include "signing/image_headers.h"
#include "support/test_support.h"
#include "verify/messages.h"
#include "verify/verify.h"

namespace tarnel {
namespace {

namespace fs = std::filesystem;
using test::ReadText;
using test::RunShell;
using test::ShellQuote;
using test::TempFolder;
using test::WriteBytes;

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& data, size_t storedFirst = 0) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, storedFirst > 0 ? Z_NO_COMPRESSION : Z_BEST_SPEED, Z_DEFLATED, -MAX_WBITS, 8,
                         Z_DEFAULT_STRATEGY),
            Z_OK);
  std::vector<uint8_t> out(deflateBound(&z, data.size()) + 1024);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  z.next_in = const_cast<uint8_t*>(data.data());
  if (storedFirst > 0) {
    // The first block stored, the rest compressed.
    z.avail_in = static_cast<uInt>(storedFirst);
    EXPECT_EQ(deflate(&z, Z_NO_FLUSH), Z_OK);
    EXPECT_EQ(deflateParams(&z, Z_BEST_COMPRESSION, Z_DEFAULT_STRATEGY), Z_OK);
  }
  z.avail_in = static_cast<uInt>(data.size() - storedFirst);
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

struct ZipEntry {
  std::string name;
  std::vector<uint8_t> data;      // what the entry holds
  std::vector<uint8_t> stored;    // its bytes in the archive
  bool deflated = false;
  uint32_t declaredSize = 0;      // 0: the data's size
};

ZipEntry Entry(std::string name, std::vector<uint8_t> data, bool deflated, size_t storedFirst = 0) {
  ZipEntry e{std::move(name), std::move(data), {}, deflated, 0};
  e.stored = deflated ? Deflate(e.data, storedFirst) : e.data;
  return e;
}

void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

std::vector<uint8_t> LocalHeader(const ZipEntry& e) {
  std::vector<uint8_t> b;
  Put32(b, 0x04034b50);
  Put16(b, 20);
  Put16(b, 0);
  Put16(b, e.deflated ? 8 : 0);
  Put32(b, 0);
  Put32(b, static_cast<uint32_t>(crc32(0, e.data.data(), static_cast<uInt>(e.data.size()))));
  Put32(b, static_cast<uint32_t>(e.stored.size()));
  Put32(b, e.declaredSize != 0 ? e.declaredSize : static_cast<uint32_t>(e.data.size()));
  Put16(b, static_cast<uint32_t>(e.name.size()));
  Put16(b, 0);
  b.insert(b.end(), e.name.begin(), e.name.end());
  return b;
}

// Central records name local headers by offset; `records` lists, per
// record, the entry it describes and the offset it points at (-1: that
// entry's own header).
struct Record {
  size_t entry;
  long long local = -1;
};

std::vector<uint8_t> BuildZip(const std::vector<ZipEntry>& entries, std::vector<Record> records = {}) {
  std::vector<uint8_t> b;
  std::vector<uint32_t> offsets;
  for (const ZipEntry& e : entries) {
    offsets.push_back(static_cast<uint32_t>(b.size()));
    const std::vector<uint8_t> h = LocalHeader(e);
    b.insert(b.end(), h.begin(), h.end());
    b.insert(b.end(), e.stored.begin(), e.stored.end());
  }
  if (records.empty())
    for (size_t i = 0; i < entries.size(); ++i) records.push_back(Record{i, -1});
  const uint32_t dirAt = static_cast<uint32_t>(b.size());
  for (const Record& r : records) {
    const ZipEntry& e = entries[r.entry];
    const std::string& name = e.name;
    std::vector<uint8_t> local = LocalHeader(e);
    Put32(b, 0x02014b50);
    Put16(b, 20);
    b.insert(b.end(), local.begin() + 4, local.begin() + 26);  // version needed .. uncompressed size
    Put16(b, static_cast<uint32_t>(name.size()));
    Put16(b, 0);
    Put16(b, 0);
    Put16(b, 0);
    Put16(b, 0);
    Put32(b, 0);
    Put32(b, r.local >= 0 ? static_cast<uint32_t>(r.local) : offsets[r.entry]);
    b.insert(b.end(), name.begin(), name.end());
  }
  const uint32_t dirSize = static_cast<uint32_t>(b.size()) - dirAt;
  Put32(b, 0x06054b50);
  Put32(b, 0);
  Put16(b, static_cast<uint32_t>(records.size()));
  Put16(b, static_cast<uint32_t>(records.size()));
  Put32(b, dirSize);
  Put32(b, dirAt);
  Put16(b, 0);
  return b;
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    keyList_ = tmp_ / "keys.txt";
    test::WriteText(keyList_, test::SharedKeyListText());
    std::string why;
    ASSERT_TRUE(verify::LoadKeys(keyList_, keys_, why)) << why;
    options_.keys = &keys_;
  }
  verify::FileResult Check(const std::string& path) { return verify::CheckFile(path, options_); }
  static std::string First(const verify::FileResult& r) { return r.problems.empty() ? "" : r.problems.front(); }
  // Runs tarnel-cli with its stdout and stderr in files; returns its exit status.
  int Cli(const std::string& args, std::string& out, std::string& err, const std::string& prefix = "") {
    const int status = RunShell("(" + prefix + ShellQuote(TARNEL_CLI_PATH) + " " + args + " >" +
                                ShellQuote(tmp_ / "out.txt") + " 2>" + ShellQuote(tmp_ / "err.txt") + ")");
    out = ReadText(tmp_ / "out.txt");
    err = ReadText(tmp_ / "err.txt");
    return status;
  }

  TempFolder tmp_;
  std::string keyList_;
  verify::Keys keys_;
  verify::Options options_;
};

// A directory that lists one big entry many times, or two entries over the
// same bytes, or a size its data cannot hold, is refused before any
// inflating: each check here ends at once.
TEST_F(Hostile, ArchiveAmplificationIsRefusedFromTheDirectory) {
  const ZipEntry big = Entry("big.img", std::vector<uint8_t>(16u << 20, 0), true);
  WriteBytes(tmp_ / "repeated.zip", BuildZip({big}, std::vector<Record>(16, Record{0, -1})));
  EXPECT_EQ(First(Check(tmp_ / "repeated.zip")), "entry big.img listed twice");

  // b.img's local header and data lie inside a.img's stored bytes.
  ZipEntry b = Entry("b.img", test::PatternBytes(5000, 2), false);
  std::vector<uint8_t> inner = LocalHeader(b);
  inner.insert(inner.end(), b.stored.begin(), b.stored.end());
  const ZipEntry a = Entry("a.img", inner, false);
  const long long bAt = 30 + 5;  // a's local header, then b's
  WriteBytes(tmp_ / "overlap.zip", BuildZip({a, b}, {Record{0, -1}, Record{1, bAt}}));
  EXPECT_EQ(First(Check(tmp_ / "overlap.zip")), "entry b.img overlaps entry a.img");

  ZipEntry bomb = Entry("bomb.bin", std::vector<uint8_t>(1000, 0), true);
  bomb.declaredSize = 0xFFFFFFF0u;
  WriteBytes(tmp_ / "declared.zip", BuildZip({bomb}));
  EXPECT_EQ(First(Check(tmp_ / "declared.zip")), "entry bomb.bin: declared size larger than its data can hold");
}

// Inflating must go on while the inflater still holds output, even when all
// compressed bytes are taken: a stream that starts with a stored block and
// ends just past a full output buffer reads back whole.
TEST_F(Hostile, DeflatedEntryStartingWithAStoredBlockReadsBack) {
  std::vector<uint8_t> data(65540, 0);
  const std::vector<uint8_t> head = test::PatternBytes(10, 5);
  std::copy(head.begin(), head.end(), data.begin());
  WriteBytes(tmp_ / "stored.zip", BuildZip({Entry("data.bin", data, true, head.size())}));
  std::string unzip;
  ASSERT_EQ(RunShell("unzip -tq " + ShellQuote(tmp_ / "stored.zip"), &unzip), 0) << unzip;
  // The data reads back; only the Android signature (none here) is missing.
  EXPECT_EQ(First(Check(tmp_ / "stored.zip")), verify::kProbAndroidMissing);
}

// A Yaffs trailer whose spare size is huge describes a file of gigabytes
// that is all holes: the pages are read without a buffer for the spare.
TEST_F(Hostile, YaffsTrailerSpareSizeAllocatesNothing) {
  constexpr uint32_t kPage = 2048, kSpare = 256u << 20, kStride = kPage + kSpare;
  uint8_t h[kMacImageHeaderSize] = {};
  std::memcpy(h + MacImageHeader::kOffMagic, kMacImageMagic, 32);
  std::memcpy(h + MacImageHeader::kOffVersion, kMacImageVersion, 8);
  PutLe32(h + MacImageHeader::kOffPageSize, kPage);
  PutLe32(h + MacImageHeader::kOffBlockSize, kPage);
  PutLe32(h + MacImageHeader::kOffSpareSize, kSpare);
  PutLe32(h + MacImageHeader::kOffTotalLength, 3 * kStride);
  PutLe32(h + MacImageHeader::kOffSourceLength, kStride);
  PutLe32(h + MacImageHeader::kOffCoveredLength, 2 * kPage);
  PutLe32(h + MacImageHeader::kOffKindValue, 2);
  PutLe32(h + MacImageHeader::kOffDataLength, kPage);
  PutLe32(h + MacImageHeader::kOffCoveredLength2, 2 * kPage);
  PutLe32(h + MacImageHeader::kOffMacLength, 16);
  PutLe32(h + MacImageHeader::kOffChunkCount, 1);
  PutLe32(h + MacImageHeader::kOffChunkSize, 1u << 20);
  const std::string path = tmp_ / "yaffs.img";
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseeko(f, kStride, SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(h, 1, sizeof h, f), sizeof h);
    ASSERT_EQ(ftruncate(fileno(f), off_t{3} * kStride), 0);
    std::fclose(f);
  }
  // In a child, so that its peak memory is its own.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const verify::FileResult r = Check(path);
    getrusage(RUSAGE_SELF, &after);
    const bool recognised = r.kind == verify::kKindMacYaffs;
    _exit(!recognised ? 2 : after.ru_maxrss - before.ru_maxrss > 64 * 1024 ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 2) << "not read as a Yaffs container";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "more than 64 MiB held for one Yaffs file";
}

// A FIFO, a device or a folder is refused at once, naming it; a name that
// holds a newline is quoted, so one output line is one result.
TEST_F(Hostile, NotAFileAndForgedNamesAreOneLineEach) {
  const std::string fifo = tmp_ / "pipe.img";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Check(fifo).problems, std::vector<std::string>{verify::kProbNotRegular});
  EXPECT_EQ(Check("/dev/zero").problems, std::vector<std::string>{verify::kProbNotRegular});
  EXPECT_EQ(Check(tmp_.Path()).problems, std::vector<std::string>{verify::kProbNotRegular});
  std::string out, err;
  const std::string forged = tmp_ / "x.img\nOK evil.img";
  WriteBytes(forged, test::PatternBytes(1000, 3));
  // An archive with an Android signature, checked against the certificate
  // beside the key list, which is a FIFO: nothing waits on it.
  ASSERT_EQ(mkfifo((tmp_ / "testkey.x509.pem").c_str(), 0600), 0);
  std::vector<uint8_t> zip = BuildZip({Entry("z.bin", test::PatternBytes(100, 4), false)});
  zip.resize(zip.size() - 2);  // the comment length goes after the signed bytes
  WriteBytes(tmp_ / "signed.bin", zip);
  ASSERT_EQ(RunShell("cd " + ShellQuote(tmp_.Path()) +
                     " && openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=t -days 1 -keyout k.pem -out c.pem"
                     " 2>/dev/null && openssl smime -sign -binary -noattr -outform DER -in signed.bin -signer c.pem"
                     " -inkey k.pem -out sig.der"),
            0);
  const std::vector<uint8_t> der = test::ReadBytes(tmp_ / "sig.der");
  const uint32_t comment = static_cast<uint32_t>(der.size() + 6);
  Put16(zip, comment);
  zip.insert(zip.end(), der.begin(), der.end());
  Put16(zip, comment);
  Put16(zip, 0xFFFF);
  Put16(zip, comment);
  WriteBytes(tmp_ / "a.zip", zip);
  EXPECT_EQ(Cli("verify --keys " + ShellQuote(keyList_) + " " + ShellQuote(fifo) + " " + ShellQuote(forged) + " " +
                    ShellQuote(tmp_ / "a.zip"),
                out, err, "timeout 20 "),
            1)
      << err;
  const std::vector<std::string> lines = test::SplitLines(out);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[0], "FAIL " + fifo + ": unknown format: not a regular file");
  EXPECT_EQ(lines[1], "FAIL \"" + tmp_.Path() + "x.img\\nOK evil.img\": unknown format: no known header");
  EXPECT_EQ(lines[2], "FAIL " + (tmp_ / "a.zip") + ": ZIP archive: Android certificate " +
                          (tmp_ / "testkey.x509.pem") + " cannot be read");
  EXPECT_EQ(Cli("verify --keys " + ShellQuote(keyList_) + " --android-cert " + ShellQuote(fifo) + " " +
                    ShellQuote(forged),
                out, err, "timeout 20 "),
            2);
  EXPECT_NE(err.find("is not a regular file"), std::string::npos) << err;
}

// The scratch folder is private and goes away with the check, also when the
// check is stopped by SIGTERM; a scratch space that runs out is reported as
// such (exit 2), never as a FAIL of the archive.
TEST_F(Hostile, ScratchFolderIsPrivateRemovedAndItsExhaustionNamed) {
  const std::string scratchParent = tmp_ / "scratch";
  fs::create_directory(scratchParent);
  const std::string env = "TMPDIR=" + ShellQuote(scratchParent) + " ";
  WriteBytes(tmp_ / "big.zip", BuildZip({Entry("k.img", std::vector<uint8_t>(4u << 20, 0x5A), true)}));
  std::string out, err;
  EXPECT_EQ(Cli("verify --keys " + ShellQuote(keyList_) + " " + ShellQuote(tmp_ / "big.zip"), out, err,
                "ulimit -f 1024; " + env),
            2)
      << out << err;
  EXPECT_EQ(out, "");
  EXPECT_NE(err.find("ran out of space unpacking entry k.img"), std::string::npos) << err;
  EXPECT_NE(err.find(scratchParent + "/tarnel-verify-"), std::string::npos) << err;
  EXPECT_TRUE(fs::is_empty(scratchParent));

  // Stopped while unpacking: the folder (0700 while it exists) is removed.
  WriteBytes(tmp_ / "huge.zip", BuildZip({Entry("k.img", std::vector<uint8_t>(128u << 20, 0x5A), true)}));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("TMPDIR", scratchParent.c_str(), 1);
    execl(TARNEL_CLI_PATH, TARNEL_CLI_PATH, "verify", "--keys", keyList_.c_str(), (tmp_ / "huge.zip").c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  bool seen = false;
  mode_t mode = 0;
  for (int i = 0; i < 4000 && !seen; ++i) {
    for (const auto& d : fs::directory_iterator(scratchParent)) {
      struct stat st {};
      if (stat((d.path() / "0").c_str(), &st) == 0 && stat(d.path().c_str(), &st) == 0) {
        seen = true;
        mode = st.st_mode & 0777;
      }
    }
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(seen) << "no scratch file appeared";
  EXPECT_EQ(mode, 0700u);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_TRUE(fs::is_empty(scratchParent));
}

}  // namespace
}  // namespace tarnel
