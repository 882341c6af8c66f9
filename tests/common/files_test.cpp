// Output files appear whole or not at all; input lines are read as stdio reads them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/platform.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using test::ReadText;
using test::TempFolder;
using test::WriteText;

size_t Entries(const std::string& folder) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

TEST(OutFile, NothingUnderTheFinalNameUntilCommit) {
  TempFolder dir;
  const std::string path = dir / "out.img";
  WriteText(path, "previous");
  {
    OutFile out;
    ASSERT_TRUE(out.Create(path));
    ASSERT_TRUE(out.Write("new bytes", 9));
    ASSERT_TRUE(out.WriteFill(0xFF, 100000));
    EXPECT_EQ(out.Written(), 100009u);
    EXPECT_EQ(ReadText(path), "previous");
    // Dropped without Commit().
  }
  EXPECT_EQ(ReadText(path), "previous");
  EXPECT_EQ(Entries(dir.Path()), 1u);

  OutFile out;
  ASSERT_TRUE(out.Create(path));
  ASSERT_TRUE(out.Write("abcdef", 6));
  ASSERT_TRUE(out.WriteAt(2, "XY", 2));
  EXPECT_FALSE(out.WriteAt(5, "XY", 2));               // past what was written
  EXPECT_FALSE(out.WriteAt(~uint64_t{0}, "XY", 2));    // offset + size would wrap
  ASSERT_TRUE(out.Write("g", 1));
  ASSERT_TRUE(out.Commit());
  EXPECT_EQ(ReadText(path), "abXYefg");
  EXPECT_EQ(Entries(dir.Path()), 1u);
}

TEST(OutFile, ModesAndRefusedNames) {
  TempFolder dir;
  OutFile secret;
  ASSERT_TRUE(secret.Create(dir / "key.txt", /*ownerOnly=*/true));
  ASSERT_TRUE(secret.Write("k", 1));
  ASSERT_TRUE(secret.Commit());
  struct stat st {};
  ASSERT_EQ(::stat((dir / "key.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const mode_t old = ::umask(022);
  OutFile plain;
  ASSERT_TRUE(plain.Create(dir / "plain.img"));
  ASSERT_TRUE(plain.Commit());
  ::umask(old);
  ASSERT_EQ(::stat((dir / "plain.img").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  std::filesystem::create_directory(dir / "sub");
  OutFile refused;
  EXPECT_FALSE(refused.Create(dir / "sub"));
  EXPECT_FALSE(refused.Create(dir / "sub/"));
  EXPECT_FALSE(refused.Create(""));
  EXPECT_FALSE(refused.Create(dir / "missing/x.img"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "sub"));
  // A FIFO stays a FIFO, named directly or through a link.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir / "fifo", dir / "link");
  EXPECT_FALSE(refused.Create(dir / "fifo"));
  EXPECT_FALSE(refused.Create(dir / "link"));
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "fifo"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
  EXPECT_EQ(Entries(dir.Path()), 5u);
}

TEST(InFile, LinesAndFolders) {
  TempFolder dir;
  WriteText(dir / "t.txt", "one\r\n" + std::string(10, 'x') + "\nlast");
  InFile in;
  EXPECT_FALSE(in.Open(dir.Path()));
  ASSERT_TRUE(in.Open(dir / "t.txt", true));
  std::string line;
  ASSERT_TRUE(in.ReadLine(line, 100));
  EXPECT_EQ(line, "one\r\n");
  ASSERT_TRUE(in.ReadLine(line, 4));  // a long line continues in the next read
  EXPECT_EQ(line, "xxxx");
  ASSERT_TRUE(in.ReadFullLine(line));
  EXPECT_EQ(line, "xxxxxx\n");
  ASSERT_TRUE(in.ReadFullLine(line));
  EXPECT_EQ(line, "last");
  EXPECT_FALSE(in.ReadFullLine(line));
  EXPECT_TRUE(line.empty());
  EXPECT_FALSE(in.ReadLine(line, 100));
}

// SIGTERM that arrives while a pair is being committed ends the process only
// once both names are in place: never one new file beside an old partner.
TEST(OutFile, PairCommitHoldsSignals) {
  test::TempFolder dir;
  test::WriteText(dir / "X.img", "old image");
  test::WriteText(dir / "X_Sign.img", "old signatures");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    InstallInterruptCleanup();
    OutFile image, sign;
    if (!image.Create(dir / "X.img") || !image.Write("new image", 9) || !sign.Create(dir / "X_Sign.img") ||
        !sign.Write("new signatures", 14))
      _exit(3);
    {
      // As if the signal came between the two renames inside the commit.
      SignalHold held;
      ::raise(SIGTERM);
      if (!CommitPair(image, sign)) _exit(4);
    }
    _exit(0);  // not reached: the held signal ends the process
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(test::ReadText(dir / "X.img"), "new image");
  EXPECT_EQ(test::ReadText(dir / "X_Sign.img"), "new signatures");
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path())) ++files;
  EXPECT_EQ(files, 2u) << "a partial or backup file was left";
}

}  // namespace
}  // namespace tarnel
