// tarnel-cli signapk: signapk's whole-file command line, its exit statuses,
// and nothing left at the output path when it does not sign (an earlier file
// there stays as it was).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace tarnel {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

class SignApkCommandTest : public ::testing::Test {
 protected:
  // The demo's template archive and Android test key pair, made by the CLI.
  void SetUp() override {
    std::string out;
    ASSERT_EQ(test::RunShell(ShellQuote(TARNEL_CLI_PATH) + " demo " + ShellQuote(demo_ / "ws") + " >/dev/null && cd " +
                                 ShellQuote(demo_ / "ws/input") + " && mv META-INF.zip testkey.pk8 testkey.x509.pem " +
                                 ShellQuote(dir_.Path()) + " 2>&1",
                             &out),
              0)
        << out;
  }
  int Run(const std::string& args, std::string* err = nullptr) {
    std::string out;
    const int status = test::RunShell("cd " + ShellQuote(dir_.Path()) + " && " + ShellQuote(TARNEL_CLI_PATH) +
                                          " signapk " + args + " 2>&1",
                                      &out);
    if (err != nullptr) *err = out;
    return status;
  }
  test::TempFolder demo_, dir_;
};

TEST_F(SignApkCommandTest, SignsWholeFileOnlyAndLeavesNothingWhenItCannot) {
  const std::string files = "testkey.x509.pem testkey.pk8 META-INF.zip out.zip";
  std::string err;
  // Other modes and options of signapk are usage errors.
  EXPECT_EQ(Run(files, &err), 2) << err;
  EXPECT_EQ(Run("-w -a 4 " + files, &err), 2) << err;
  EXPECT_EQ(Run("-w --disable-v2 " + files, &err), 2) << err;
  EXPECT_EQ(Run("-w testkey.x509.pem testkey.pk8 META-INF.zip", &err), 2) << err;
  EXPECT_FALSE(fs::exists(dir_ / "out.zip"));
  // An output that names the key, the certificate or the input (by another
  // spelling too) is refused, and the file stays as it was.
  const std::string key = test::ReadText(dir_ / "testkey.pk8");
  for (const char* output : {"testkey.pk8", "./testkey.x509.pem", "META-INF.zip"}) {
    EXPECT_EQ(Run("-w testkey.x509.pem testkey.pk8 META-INF.zip " + std::string(output), &err), 2) << output;
    EXPECT_NE(err.find("give another output"), std::string::npos) << err;
  }
  EXPECT_EQ(test::ReadText(dir_ / "testkey.pk8"), key);
  // Nor is a FIFO replaced by a file (nor /dev/null, for that matter).
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(Run("-w testkey.x509.pem testkey.pk8 META-INF.zip fifo", &err), 1) << err;
  EXPECT_TRUE(fs::is_fifo(dir_ / "fifo"));
  fs::remove(dir_ / "fifo");

  // An input only Java can sign the way signapk does: exit 1, a reason, no output.
  ASSERT_EQ(test::RunShell("cd " + ShellQuote(dir_.Path()) +
                           " && python3 -c \"import zipfile; zipfile.ZipFile('pins.zip', 'w').writestr("
                           "'assets/com.android.hints.pins.txt', 'x')\""),
            0);
  EXPECT_EQ(Run("-w testkey.x509.pem testkey.pk8 pins.zip out.zip", &err), 1);
  EXPECT_NE(err.find("pinlist.meta"), std::string::npos) << err;
  EXPECT_TRUE(test::FolderEntries(dir_.Path()) ==
              (std::vector<std::string>{"META-INF.zip", "pins.zip", "testkey.pk8", "testkey.x509.pem"}))
      << "something was left behind";

  // A failed run leaves an earlier output as it was.
  test::WriteText(dir_ / "out.zip", "an earlier output");
  EXPECT_EQ(Run("-w testkey.x509.pem testkey.pk8 pins.zip out.zip", &err), 1);
  EXPECT_EQ(Run("-w testkey.x509.pem testkey.pk8 testkey.pk8 out.zip", &err), 1);
  EXPECT_EQ(test::ReadText(dir_ / "out.zip"), "an earlier output");
  EXPECT_EQ(test::FolderEntries(dir_.Path()).size(), 5u) << "something was left behind";

  EXPECT_EQ(Run("-w " + files, &err), 0) << err;
  std::string out;
  EXPECT_EQ(test::RunShell("unzip -t " + ShellQuote(dir_ / "out.zip"), &out), 0) << out;
}

}  // namespace
}  // namespace tarnel
