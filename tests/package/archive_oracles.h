// Readers and writers of ZIP archives that are not ours: Info-ZIP's unzip and
// zipinfo, the JDK's java.util.zip, and python3's zipfile for templates.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tarnel::test {

inline std::string Q(const std::string& s) { return ShellQuote(s); }

// `unzip -t`: true when every entry's data and CRC check out.
inline bool UnzipTestPasses(const std::string& archive, std::string* output = nullptr) {
  return RunShell("unzip -t " + Q(archive), output) == 0;
}

// Entry names in central directory order, as zipinfo lists them.
inline std::vector<std::string> ZipNames(const std::string& archive) {
  std::string out;
  EXPECT_EQ(RunShell("zipinfo -1 " + Q(archive), &out), 0) << out;
  return SplitLines(out);
}

// zipinfo's line for one entry (permissions, version, system, size, method, time).
inline std::string ZipinfoLine(const std::string& archive, const std::string& name) {
  std::string out;
  EXPECT_EQ(RunShell("zipinfo -T " + Q(archive) + " " + Q(name), &out), 0) << out;
  return out;
}

// One entry's data as unzip extracts it.
inline std::vector<uint8_t> UnzipEntry(const std::string& archive, const std::string& name,
                                       const std::string& scratch) {
  std::string out;
  EXPECT_EQ(RunShell("unzip -p " + Q(archive) + " " + Q(name) + " > " + Q(scratch), &out), 0) << out;
  return ReadBytes(scratch);
}

// True when a JDK (java and javac) is on the path: java.util.zip is then one
// more reader of the archives.
inline bool HaveJdk() {
  static const bool have = RunShell("command -v java && command -v javac") == 0;
  return have;
}

// Lists an archive through java.util.zip twice: ZipFile (central directory,
// "C name method size crc-of-data crc-of-record") and ZipInputStream (local
// headers read in file order, "L name size crc-of-data"; the JDK's streaming
// reader refuses stored entries with data descriptors, which are valid).
// Empty when the JDK is missing or refuses the archive.
inline std::string JavaZipListing(const std::string& archive, bool streaming = true) {
  static const std::unique_ptr<TempFolder> classes = [] {
    auto dir = std::make_unique<TempFolder>();
    WriteText(dir->Path() + "ZipCheck.java", R"(
import java.io.*;
import java.util.*;
import java.util.zip.*;
public class ZipCheck {
  public static void main(String[] args) throws Exception {
    byte[] buf = new byte[65536];
    try (ZipFile zip = new ZipFile(args[0])) {
      for (Enumeration<? extends ZipEntry> e = zip.entries(); e.hasMoreElements();) {
        ZipEntry entry = e.nextElement();
        CRC32 crc = new CRC32();
        long n = 0;
        try (InputStream in = zip.getInputStream(entry)) {
          for (int r; (r = in.read(buf)) > 0; n += r) crc.update(buf, 0, r);
        }
        System.out.println("C " + entry.getName() + " " + entry.getMethod() + " " + n + " "
            + Long.toHexString(crc.getValue()) + " " + Long.toHexString(entry.getCrc()));
      }
    }
    if (args.length > 1) return;
    try (ZipInputStream in = new ZipInputStream(new FileInputStream(args[0]))) {
      for (ZipEntry entry; (entry = in.getNextEntry()) != null;) {
        CRC32 crc = new CRC32();
        long n = 0;
        for (int r; (r = in.read(buf)) > 0; n += r) crc.update(buf, 0, r);
        System.out.println("L " + entry.getName() + " " + n + " " + Long.toHexString(crc.getValue()));
      }
    }
  }
}
)");
    std::string out;
    EXPECT_EQ(RunShell("javac -d " + Q(dir->Path()) + " " + Q(dir->Path() + "ZipCheck.java"), &out), 0) << out;
    return dir;
  }();
  std::string out;
  if (RunShell("java -cp " + Q(classes->Path()) + " ZipCheck " + Q(archive) + (streaming ? "" : " central"), &out) != 0) {
    ADD_FAILURE() << "java.util.zip refused " << archive << ":\n" << out;
    return {};
  }
  return out;
}

// A template written by python3's zipfile to a stream it cannot seek, so the
// entries carry data descriptors; with extra fields, entry comments and an
// archive comment. Two entries under META-INF/ (one deflated, one stored).
inline void WritePythonTemplate(const std::string& path) {
  const std::string script = R"(
import io, sys, zipfile
class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
    def seekable(self): return False
with open(sys.argv[1], 'wb') as f:
    with zipfile.ZipFile(Unseekable(f), 'w') as z:
        z.comment = b'template comment'
        for name, data, method in [
                ('META-INF/com/google/android/update-binary', b'#!/sbin/sh\nexit 0\n' * 50, zipfile.ZIP_DEFLATED),
                ('META-INF/com/google/android/updater-script', b'ui_print("x");\n', zipfile.ZIP_STORED)]:
            info = zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 6))
            info.compress_type = method
            info.extra = b'\xfe\xca\x04\x00abcd'
            info.comment = b'entry comment'
            z.writestr(info, data)
)";
  std::string out;
  ASSERT_EQ(RunShell("python3 -c " + Q(script) + " " + Q(path), &out), 0) << out;
}

// signapk's whole-file signature checked by the openssl tool alone: the CMS
// found through the comment's footer, over the bytes before the comment length,
// its signer found only among `cert`, not in the signature itself.
inline void ExpectCmsVerifies(const std::string& archive, const std::string& cert, const std::string& scratch) {
  const std::vector<uint8_t> bytes = ReadBytes(archive);
  ASSERT_GT(bytes.size(), 22u);
  const size_t n = bytes.size();
  const size_t commentLength = bytes[n - 2] | (bytes[n - 1] << 8);
  const size_t sigStart = bytes[n - 6] | (bytes[n - 5] << 8);
  ASSERT_EQ(bytes[n - 4], 0xFF);
  ASSERT_EQ(bytes[n - 3], 0xFF);
  ASSERT_LT(commentLength + 2, n);
  WriteBytes(scratch + ".sig", {bytes.end() - static_cast<std::ptrdiff_t>(sigStart), bytes.end() - 6});
  WriteBytes(scratch + ".data", {bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(commentLength + 2)});
  std::string out;
  EXPECT_EQ(RunShell("openssl cms -verify -binary -inform DER -in " + Q(scratch + ".sig") + " -content " +
                               Q(scratch + ".data") + " -nointern -certfile " + Q(cert) + " -noverify -out /dev/null 2>&1",
                           &out),
            0)
      << archive << ": " << out;
}

}  // namespace tarnel::test
