// Drives the built tarnel-cli as a person would from a shell, and checks its
// outputs with the openssl command line and the exact message lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "boot/key_list.h"
#include "cli/demo.h"
#include "common/le.h"
#include "common/model.h"
#include "common/platform.h"
#include "common/text.h"
#include "config/partition_config.h"
#include "package/upgrade_package.h"
#include "pipeline/key_partition.h"
#include "pipeline/make_driver.h"
#include "pipeline/messages.h"
#include "pipeline/row_checks.h"
#include "signing/sign_image.h"
#include "signing/signer.h"
#include "cli/cli_fixture.h"
#include "support/test_support.h"
#include "signing/messages.h"
#include "config/messages.h"
#include "boot/messages.h"

namespace tarnel {
namespace {

TEST_F(Cli, SignsNonFileSystemRowsThatOpensslVerifies) {
  const std::vector<uint8_t> a = PatternBytes(10000, 1);
  const std::vector<uint8_t> b = PatternBytes(2 * kBlock, 2);
  const std::vector<uint8_t> c;  // empty
  WriteBytes(in_ + "a.bin", a);
  WriteBytes(in_ + "b.bin", b);
  WriteBytes(in_ + "c.bin", c);
  const std::string table = WriteTable({
      {"1", "kernel", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"},
      {"0", "", "", "", "", ""},  // unchecked rows may have gaps
      {"1", "logo", kFileTypeNonFs, "emmc_8g", "No", "b.bin"},
      {"1", "misc", "non-file system", "EMMC_8G", "No", "c.bin"},
      {"1", "skip", kFileTypeNone, "EMMC_8G", "No", "a.bin"},
  });
  const CliResult r = Run(MakeArgs("Qm5820RA200", table));
  EXPECT_EQ(r.status, 0) << r.errLines.size();
  EXPECT_EQ(r.errLines, std::vector<std::string>{kMsgAllSigned});
  ExpectSignedWhole(out_ + "kernel.img", a);
  ExpectSignedWhole(out_ + "logo.img", b);
  ExpectSignedWhole(out_ + "misc.img", c);
  EXPECT_FALSE(fs::exists(out_ + "skip.img"));
}

TEST_F(Cli, RelativePathsShortOptionsAndDefaultOutput) {
  const std::vector<uint8_t> a = PatternBytes(5000, 3);
  WriteBytes(in_ + "a.bin", a);
  (void)WriteTable({{"1", "kernel", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  // Short options and a board name in lower case.
  const CliResult r = Run("make -b qm5820sb400 -c in/table.xml -k ./in/Keys_for_signature.txt --default-output "
                          "--home home");
  EXPECT_EQ(r.status, 0);
  ASSERT_FALSE(r.errLines.empty());
  EXPECT_EQ(r.errLines.back(), kMsgAllSigned);
  ExpectSignedWhole(home_ + "Output/kernel.img", a);
}

TEST_F(Cli, EachRowCheckStopsTheRunWithItsMessage) {
  WriteBytes(in_ + "a.bin", PatternBytes(100));
  const std::string longName(kMaxOutputPathLength + 1 - out_.size(), 'n');
  const struct {
    const char* name;
    std::vector<XmlRow> rows;
    std::string message;
  } cases[] = {
      {"output name of blanks", {{"1", "   ", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}},
       Format(kMsgInputOutputName, 1)},
      {"no file type",
       {{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}, {"1", "b", " ", "EMMC_8G", "No", "a.bin"}},
       Format(kMsgSelectFileType, 2)},
      {"no flash name", {{"0", "", "", "", "", ""}, {"1", "a", kFileTypeNonFs, "", "No", "a.bin"}}, Format(kMsgSelectFlashName, 2)},
      {"no upgrade", {{"1", "a", kFileTypeNonFs, "EMMC_8G", "", "a.bin"}}, Format(kMsgSelectUpgrade, 1)},
      {"no unsigned file", {{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", " "}}, Format(kMsgSelectUnsignedFile, 1)},
      {"dot in the output name", {{"1", "boot.img", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}},
       Format(kMsgInvalidOutputName, 1)},
      {"output path too long", {{"1", longName, kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}},
       Format(kMsgOutputNameTooLong, 1)},
      {"repeated output name",
       {{"1", "Boot", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}, {"1", "boot", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}},
       Format(kMsgOutputNameRepeated, "Boot")},
      {"unknown flash name", {{"1", "a", kFileTypeNone, "NAND_9K", "No", "a.bin"}}, Format(kMsgFlashConfigInLine, 1)},
      {"nothing checked", {{"0", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}}, kMsgNoValidItem},
      {"only None rows for upgrade", {{"1", "a", kFileTypeNone, "EMMC_8G", "Yes", "a.bin"}}, kMsgNoValidItem},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CliResult r = Run(MakeArgs("2", WriteTable(c.rows)));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines, std::vector<std::string>{c.message});
    EXPECT_TRUE(OutputEmpty());
  }
}

TEST_F(Cli, EmptyKeysOrOutputAreAskedForByTheRun) {
  WriteBytes(in_ + "a.bin", PatternBytes(100));
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  CliResult r = Run("make --board 2 --config " + ShellQuote(table) + " --keys '' --output " + ShellQuote(out_) +
                    " --home " + ShellQuote(home_));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errLines, std::vector<std::string>{kMsgSelectKeysFile});
  r = Run("make --board 2 --config " + ShellQuote(table) + " --keys " + ShellQuote(keys_) + " --output '' --home " +
          ShellQuote(home_));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errLines, std::vector<std::string>{kMsgSelectOutputPath});
}

TEST_F(Cli, KeyListInAnotherFolderBreaksTheOneInputFolderRule) {
  WriteBytes(in_ + "a.bin", PatternBytes(100));
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  fs::create_directories(root_ / "keys");
  keys_ = root_ / "keys/k.txt";
  WriteText(keys_, test::SharedKeyListText());
  const CliResult r = Run(MakeArgs("2", table));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errLines, std::vector<std::string>{kMsgSameInputFolder});
}

TEST_F(Cli, UnsignedFileThatIsAFolderOrMissingFailsItsRow) {
  fs::create_directories(in_ + "dir.bin");
  const struct {
    const char* file;
    const char* reason;
  } cases[] = {{"dir.bin", "Is a directory"}, {"missing.bin", "No such file or directory"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const CliResult r = Run(MakeArgs("2", WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", c.file}})));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines, (std::vector<std::string>{Format(kMsgOpenFileFailed, (in_ + c.file).c_str()),
                                                    in_ + c.file + ": " + c.reason, Format(kMsgNonFsFailed, 1)}));
    EXPECT_FALSE(fs::exists(out_ + "a.img"));
  }
}

TEST_F(Cli, MissingAndroidTestKeysStopTheRun) {
  WriteBytes(in_ + "a.bin", PatternBytes(100));
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  fs::remove(in_ + "testkey.x509.pem");
  CliResult r = Run(MakeArgs("2", table));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errLines, std::vector<std::string>{kMsgTestkeyPemMissing});
  fs::remove(in_ + "testkey.pk8");
  r = Run(MakeArgs("2", table));
  EXPECT_EQ(r.errLines, std::vector<std::string>{kMsgTestkeyPk8Missing});
}

TEST_F(Cli, FailedLoadsEndBeforeAnythingIsSigned) {
  WriteBytes(in_ + "a.bin", PatternBytes(100));
  // 65 rows: the first 64 would be valid, but nothing runs.
  std::vector<XmlRow> many;
  for (int i = 0; i < 65; ++i) {
    std::string name = "p";
    name += std::to_string(i);
    many.push_back({"1", name, kFileTypeNonFs, "EMMC_8G", "No", "a.bin"});
  }
  CliResult r = Run(MakeArgs("2", WriteTable(many)));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errLines, std::vector<std::string>{kMsgOnly64Files});
  EXPECT_TRUE(OutputEmpty());

  const std::string ubi = WriteTable({{"1", "a", kFileTypeNonFs, "NAND_2K", "No", "a.bin"},
                                      {"1", "u", kFileTypeUbi, "NAND_2K", "No", "a.bin"}});
  r = Run(MakeArgs("Qm5820RA100", ubi));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errLines, std::vector<std::string>{kMsgRa100NoUbi});  // ends with its blank
  EXPECT_TRUE(OutputEmpty());

  EXPECT_TRUE(OutputEmpty());
}

// A load that fails keeps its fixed message and adds one line naming the file
// and the reason, in the system's or the parser's words.
TEST_F(Cli, FailedLoadsNameTheFileAndTheReason) {
  WriteBytes(in_ + "a.bin", PatternBytes(100));
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  const auto expectLines = [&](const std::string& args, const std::vector<std::string>& lines) {
    const CliResult r = Run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines, lines);
    EXPECT_TRUE(OutputEmpty());
  };
  {
    SCOPED_TRACE("a partition table that does not parse");
    WriteText(in_ + "broken.xml", "<Tarnel_PartConfigs>\n<PartConfig Sel=\"1\"");
    expectLines(MakeArgs("2", in_ + "broken.xml"),
                {kMsgOpenPartitionConfigFailed, in_ + "broken.xml: line 2: XML_ERROR_PARSING_ELEMENT"});
  }
  {
    SCOPED_TRACE("a partition table that is not there");
    expectLines(MakeArgs("2", in_ + "none.xml"),
                {kMsgOpenPartitionConfigFailed, in_ + "none.xml: No such file or directory"});
  }
  {
    SCOPED_TRACE("a key list that is not there");
    const std::string args = "make -b 2 -c " + ShellQuote(table) + " -k " + ShellQuote(in_ + "keys.txt") + " -o " +
                             ShellQuote(out_) + " --home " + ShellQuote(home_);
    expectLines(args, {kMsgLoadKeyListFailed, in_ + "keys.txt: No such file or directory"});
  }
  if (::geteuid() != 0) {
    SCOPED_TRACE("a key list its reader may not read");
    fs::permissions(keys_, fs::perms::none);
    expectLines(MakeArgs("2", table), {kMsgLoadKeyListFailed, keys_ + ": Permission denied"});
    fs::permissions(keys_, fs::perms::owner_read | fs::perms::owner_write);
  }
  {
    SCOPED_TRACE("a key list too short");
    WriteText(keys_, "not a key list\n");
    expectLines(MakeArgs("2", table),
                {kMsgInvalidKeyList, keys_ + ": line 2 is empty or missing; a key list has 23 lines"});
  }
}

TEST_F(Cli, ProgramFolderIsCheckedAsTheWindowDoes) {
  WriteBytes(in_ + "a.bin", PatternBytes(100));
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  // Without the flash layout every row lacks its flash entry.
  fs::remove(home_ + "Config/FlashConfig.xml");
  CliResult r = Run(MakeArgs("2", table));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errLines, (std::vector<std::string>{"Failed to load the flash config file!", Format(kMsgFlashConfigInLine, 1)}));
  // Java is needed at start only when it signs every upgrade archive.
  fs::remove(home_ + "jre");
  r = Run(MakeArgs("2", table));
  EXPECT_EQ(r.errLines, (std::vector<std::string>{"Failed to load the flash config file!", Format(kMsgFlashConfigInLine, 1)}));
  r = Run(MakeArgs("2", table) + " --archive-signer java");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errLines, std::vector<std::string>{"\"" + home_ + "jre\" not find!"});
  WriteText(home_ + "BurnConfig.ini", "[BurnConfig]\nMemory=512\n[Signing]\nArchive=Java\n");
  r = Run(MakeArgs("2", table));
  EXPECT_EQ(r.errLines, std::vector<std::string>{"\"" + home_ + "jre\" not find!"});
  r = Run(MakeArgs("2", table) + " --archive-signer native");
  EXPECT_EQ(r.errLines, (std::vector<std::string>{"Failed to load the flash config file!", Format(kMsgFlashConfigInLine, 1)}));
  EXPECT_EQ(Run(MakeArgs("2", table) + " --archive-signer jar").status, 2);
  fs::remove(home_ + "Config");
  r = Run(MakeArgs("2", table));
  EXPECT_EQ(r.errLines, std::vector<std::string>{"\"" + home_ + "Config\" not find!"});
}

TEST_F(Cli, UsageErrorsExitWithTwoAndChangeNothing) {
  WriteBytes(in_ + "a.bin", PatternBytes(100));
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  const std::string keys = " --keys " + ShellQuote(keys_) + " --home " + ShellQuote(home_);
  const std::string makeUsage = "usage: tarnel-cli make --board <board> --config <config> --keys <keys> [<options>]";
  const std::string topUsage = "usage: tarnel-cli <command> [<options>]";
  const struct {
    const char* name;
    std::string args;
    std::vector<std::string> lines;  // the whole of standard error, when given
    const char* mention;             // else a word the message must carry
  } cases[] = {
      {"unknown board name", MakeArgs("Qm9999XX00", table), {}, "Qm9999XX00"},
      {"board index out of range", MakeArgs("6", table), {}, "board"},
      {"no board", "make --config " + ShellQuote(table) + keys + " --output " + ShellQuote(out_),
       {"tarnel-cli: make: --board is required", makeUsage, "see tarnel-cli make --help"}, nullptr},
      {"no table", "make --board 2" + keys + " --output " + ShellQuote(out_), {}, "--config"},
      {"no output choice", "make --board 2 --config " + ShellQuote(table) + keys,
       {"tarnel-cli: make: give the output folder with --output <folder>, or --default-output", makeUsage,
        "see tarnel-cli make --help"},
       nullptr},
      {"both output choices", MakeArgs("2", table, " --default-output"), {}, "--default-output"},
      {"output folder missing",
       "make --board 2 --config " + ShellQuote(table) + keys + " --output " + ShellQuote(root_ / "nowhere"), {},
       "nowhere"},
      {"no command", "", {"tarnel-cli: give a command", topUsage, "see tarnel-cli --help"}, nullptr},
      {"mistyped command", "mak",
       {"tarnel-cli: 'mak' is not a command. Did you mean 'make'?", topUsage, "see tarnel-cli --help"}, nullptr},
      {"unknown command", "frobnicate", {"tarnel-cli: 'frobnicate' is not a command.", topUsage, "see tarnel-cli --help"}, nullptr},
      {"help on an unknown command", "help verfy",
       {"tarnel-cli: 'verfy' is not a command. Did you mean 'verify'?", topUsage, "see tarnel-cli --help"}, nullptr},
      {"mistyped option", MakeArgs("2", table, " --reprot r.json"),
       {"tarnel-cli: make: unknown option '--reprot'. Did you mean '--report'?", makeUsage,
        "see tarnel-cli make --help"},
       nullptr},
      {"unknown option", MakeArgs("2", table, " --fast"), {}, "'--fast'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CliResult r = Run(c.args);
    EXPECT_EQ(r.status, 2);
    if (c.mention == nullptr) {
      EXPECT_EQ(r.errLines, c.lines);
    } else {
      std::string err;
      for (const std::string& line : r.errLines) err += line + "\n";
      EXPECT_NE(err.find(c.mention), std::string::npos) << err;
      EXPECT_EQ(err.find("Subcommands:"), std::string::npos) << "a usage error prints the whole help";
    }
    EXPECT_TRUE(OutputEmpty());
  }
  EXPECT_FALSE(fs::exists(home_ + "Temp"));
}

// A bad signer, archive signer or archive key is a usage error whether an option, the
// environment or BurnConfig.ini gives it; the second line says where.
TEST_F(Cli, SettingMistakesExitTheSameWhereverGiven) {
  WriteBytes(in_ + "a.bin", PatternBytes(100));
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  const std::string unknown = "tarnel-cli: Unknown signer \"foo:\": give keylist, pkcs11:<URI> or exec:<program>!";
  const std::string ini = home_ + "BurnConfig.ini";
  const struct {
    const char* name;
    std::string args, prefix, ini;
    std::vector<std::string> lines;
  } cases[] = {
      {"--signer", MakeArgs("2", table, " --signer foo:"), "", "", {unknown}},
      {"TARNEL_SIGNER", MakeArgs("2", table), "export TARNEL_SIGNER=foo:", "", {unknown, "given in TARNEL_SIGNER"}},
      {"BurnConfig.ini", MakeArgs("2", table), "", "Signer=foo:", {unknown, "given in " + ini + " [Signing] Signer"}},
      {"relative helper", MakeArgs("2", table), "export TARNEL_SIGNER=exec:helper", "",
       {"tarnel-cli: " + Format(kMsgHelperNotAbsolute, "helper"), "given in TARNEL_SIGNER"}},
      {"--archive-signer", MakeArgs("2", table, " --archive-signer jar"), "", "",
       {"tarnel-cli: unknown archive signer \"jar\"; give native, java or native-parallel"}},
      {"Archive=", MakeArgs("2", table), "", "Archive=jar",
       {"tarnel-cli: unknown archive signer \"jar\"; give native, java or native-parallel",
        "given in " + ini + " [Signing] Archive"}},
      {"--archive-key", MakeArgs("2", table, " --archive-key exec:/bin/true"), "", "",
       {"tarnel-cli: " + Format(kMsgArchiveKeyNotToken, "exec:")}},
      {"ArchiveKey=", MakeArgs("2", table), "", "ArchiveKey=keys/testkey.pk8",
       {"tarnel-cli: " + Format(kMsgArchiveKeyNotToken, "keys/testkey.pk8"),
        "given in " + ini + " [Signing] ArchiveKey"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(ini, "[BurnConfig]\nMemory=512\n[Signing]\n" + c.ini + "\n");
    const CliResult r = Run(c.args, c.prefix);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.errLines, c.lines);
    EXPECT_FALSE(fs::exists(home_ + "Temp"));
  }
}

// A run from another program folder holds the output folder, the program
// folder's lock is held, or its lock file cannot be locked at all.
TEST_F(Cli, SecondRunOnABusyProgramOrOutputFolderStops) {
  const std::vector<uint8_t> a = PatternBytes(3000, 9);
  WriteBytes(in_ + "a.bin", a);
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  fs::create_directories(home_ + "Temp");
  {
    FileLock held;
    ASSERT_EQ(held.TryLock(home_ + "Temp/" + kTempLockName), FileLock::Result::Locked);
    const CliResult r = Run(MakeArgs("2", table));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines, std::vector<std::string>{Format(kMsgRunInProgress, (home_ + "Temp/").c_str())});
    EXPECT_TRUE(OutputEmpty());
  }
  {
    FileLock held;
    ASSERT_EQ(held.TryLockFolder(out_), FileLock::Result::Locked);
    const CliResult r = Run(MakeArgs("2", table));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines, std::vector<std::string>{Format(kMsgRunInProgress, out_.c_str())});
    EXPECT_TRUE(OutputEmpty());
  }
  {
    fs::remove(home_ + "Temp/" + kTempLockName);
    fs::create_directories(home_ + "Temp/" + kTempLockName);
    const CliResult r = Run(MakeArgs("2", table));
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(r.errLines.size(), 1u);
    EXPECT_EQ(r.errLines[0].rfind("Failed to lock " + home_ + "Temp/" + kTempLockName + ": ", 0), 0u) << r.errLines[0];
    EXPECT_TRUE(OutputEmpty());
    fs::remove(home_ + "Temp/" + kTempLockName);
  }
  const CliResult r = Run(MakeArgs("2", table));
  EXPECT_EQ(r.status, 0);
  ExpectSignedWhole(out_ + "a.img", a);
}

// --wait: a second run waits for the one holding the program folder and
// goes on when it lets go; at most SECONDS with --wait=SECONDS.
TEST_F(Cli, WaitLetsASecondRunThroughAfterTheFirst) {
  const std::vector<uint8_t> a = PatternBytes(3000, 9);
  WriteBytes(in_ + "a.bin", a);
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  fs::create_directories(home_ + "Temp");
  {
    FileLock held;
    ASSERT_EQ(held.TryLock(home_ + "Temp/" + kTempLockName), FileLock::Result::Locked);
    CliResult r;
    std::thread second([&] { r = Run(MakeArgs("2", table, " --wait --progress=never")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_TRUE(OutputEmpty());
    held.Unlock();
    second.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errLines, (std::vector<std::string>{"tarnel-cli: waiting for the run that holds " + home_ + "Temp/",
                                                    kMsgAllSigned}));
    ExpectSignedWhole(out_ + "a.img", a);
  }
  {
    FileLock held;
    ASSERT_EQ(held.TryLockFolder(out_), FileLock::Result::Locked);
    const auto start = std::chrono::steady_clock::now();
    const CliResult r = Run(MakeArgs("2", table, " --wait=1 -q"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines, std::vector<std::string>{Format(kMsgRunInProgress, out_.c_str())});
  }
  EXPECT_EQ(Run(MakeArgs("2", table, " --wait=soon")).status, 2);
}

// The signed headers store full paths by default; --header-paths=name (or
// [Signing] HeaderPaths=name) stores bare names, so the same inputs signed
// in two folders give the same bytes.
TEST_F(Cli, HeaderPathsNameSignsTwoFoldersAlike) {
  const std::vector<uint8_t> a = PatternBytes(3000, 7);
  WriteBytes(in_ + "a.bin", a);
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  const std::string epoch = "export SOURCE_DATE_EPOCH=1700000000";
  const auto field = [](const std::vector<uint8_t>& image, size_t offset) {
    const char* text = reinterpret_cast<const char*>(image.data() + image.size() - kBlock + offset);
    return std::string(text, strnlen(text, 256));
  };
  ASSERT_EQ(Run(MakeArgs("2", table), epoch).status, 0);
  const std::vector<uint8_t> full = ReadBytes(out_ + "a.img");
  EXPECT_EQ(field(full, 372), in_ + "a.bin");
  EXPECT_EQ(field(full, 628), keys_);

  // A second input folder with the same files, signed into a second output folder.
  const std::string in2 = root_ / "in2/", out2 = root_ / "out2/";
  fs::copy(in_, in2);
  fs::create_directories(out2);
  ASSERT_EQ(Run(MakeArgs("2", table, " --header-paths=name"), epoch).status, 0);
  const std::vector<uint8_t> named = ReadBytes(out_ + "a.img");
  EXPECT_EQ(field(named, 372), "a.bin");
  EXPECT_EQ(field(named, 628), kDefaultKeyListName);
  ExpectSignedWhole(out_ + "a.img", a);
  WriteText(home_ + "BurnConfig.ini", "[BurnConfig]\nMemory=512\n[Signing]\nHeaderPaths=Name\n");
  ASSERT_EQ(Run("make -b 2 -c " + ShellQuote(in2 + "table.xml") + " -k " + ShellQuote(in2 + kDefaultKeyListName) +
                    " -o " + ShellQuote(out2) + " --home " + ShellQuote(home_),
                epoch)
                .status,
            0);
  EXPECT_EQ(ReadBytes(out2 + "a.img"), named);
  EXPECT_NE(named, full);

  WriteText(home_ + "BurnConfig.ini", "[BurnConfig]\nMemory=512\n[Signing]\nHeaderPaths=short\n");
  const CliResult r = Run(MakeArgs("2", table));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.errLines, (std::vector<std::string>{"tarnel-cli: unknown header paths \"short\"; give full or name",
                                                  "given in " + home_ + "BurnConfig.ini [Signing] HeaderPaths"}));
  EXPECT_EQ(Run(MakeArgs("2", table, " --header-paths=short")).status, 2);
}

// Nothing is signed when an output would replace an input of the run or
// another output of it; the message names both paths.
TEST_F(Cli, OutputsNeverReplaceInputsOrEachOther) {
  const std::vector<uint8_t> system = PatternBytes(5000, 4);
  WriteBytes(in_ + "system.img", system);
  WriteBytes(in_ + "boot.bin", PatternBytes(4096, 5));
  const auto refused = [&](const std::string& board, const std::string& table, const std::string& output,
                           const std::string& message) {
    const CliResult r = Run("make --board " + board + " --config " + ShellQuote(table) + " --keys " +
                            ShellQuote(keys_) + " --output " + ShellQuote(output) + " --home " + ShellQuote(home_));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines, std::vector<std::string>{message});
    EXPECT_EQ(ReadBytes(in_ + "system.img"), system);
  };
  {
    SCOPED_TRACE("output folder is the input folder");
    const std::string table = WriteTable({{"1", "system", kFileTypeNonFs, "EMMC_8G", "No", "system.img"}});
    refused("2", table, in_, Format(kMsgOutputIsInput, (in_ + "system.img").c_str(), (in_ + "system.img").c_str()));
  }
  {
    SCOPED_TRACE("inputs in the program folder's Temp, one named as a boot area");
    const std::string temp = home_ + "Temp/";
    fs::create_directories(temp);
    fs::copy_file(keys_, temp + "keys.txt");
    const std::vector<uint8_t> logo = PatternBytes(3000, 6);
    WriteBytes(temp + "BootArea.bin", logo);
    WriteText(temp + "cfg.bin", "cfg");
    WriteText(temp + "testkey.pk8", "pk8");
    WriteText(temp + "testkey.x509.pem", "pem");
    WriteBytes(temp + "boot.bin", PatternBytes(4096, 5));
    fs::rename(WriteTable({{"1", "boot", kFileTypeFastboot, "NAND_2K", "No", "boot.bin"},
                           {"1", "logo", kFileTypeNonFs, "NAND_2K", "No", "BootArea.bin"}}),
               temp + "table.xml");
    const CliResult r = Run("make --board 2 --config " + ShellQuote(temp + "table.xml") + " --keys " +
                            ShellQuote(temp + "keys.txt") + " --output " + ShellQuote(out_) + " --home " +
                            ShellQuote(home_));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines, std::vector<std::string>{Format(kMsgInputInTempFolder, (temp + "boot.bin").c_str(),
                                                          temp.c_str())});
    EXPECT_EQ(ReadBytes(temp + "BootArea.bin"), logo);
    EXPECT_TRUE(OutputEmpty());
    fs::remove_all(temp);
  }
  {
    SCOPED_TRACE("output is a hard link to the input");
    fs::create_hard_link(in_ + "system.img", out_ + "copy.img");
    const std::string table = WriteTable({{"1", "copy", kFileTypeNonFs, "EMMC_8G", "No", "system.img"}});
    refused("2", table, out_, Format(kMsgOutputIsInput, (out_ + "copy.img").c_str(), (in_ + "system.img").c_str()));
    fs::remove(out_ + "copy.img");
  }
  {
    SCOPED_TRACE("a row named KeyPart beside the key partition");
    const std::string table = WriteTable({{"1", "KeyPart", kFileTypeFastboot, "NAND_2K", "No", "boot.bin"}});
    const std::string keyPart = out_ + kKeyPartImageName;
    refused("0", table, out_, Format(kMsgOutputsCollide, keyPart.c_str(), keyPart.c_str()));
  }
  {
    SCOPED_TRACE("a row named system_Sign beside an Ext4 row named system");
    const std::string table = WriteTable({{"1", "system", kFileTypeExt4, "EMMC_8G", "No", "system.img"},
                                          {"1", "system_Sign", kFileTypeNonFs, "EMMC_8G", "No", "boot.bin"}});
    const std::string sign = out_ + "system_Sign.img";
    refused("2", table, out_, Format(kMsgOutputsCollide, sign.c_str(), sign.c_str()));
  }
  EXPECT_TRUE(OutputEmpty());
}

// Partial siblings of the output folder and of Temp.
std::vector<std::string> PartialFiles(const std::vector<std::string>& folders) {
  std::vector<std::string> found;
  for (const std::string& folder : folders)
    for (const auto& e : fs::directory_iterator(folder))
      if (e.path().filename().string().find(".tarnel-") != std::string::npos) found.push_back(e.path());
  return found;
}

// Interrupted half-way through a large image, the command line removes its
// partial output before it ends by the signal; partial files that an earlier,
// killed run left are removed by the next run.
TEST_F(Cli, InterruptedRunsLeaveNoPartialFiles) {
  const std::string big = in_ + "big.bin";
  WriteBytes(big, {});
  fs::resize_file(big, 3ull << 30);  // a hole: cheap to make, slow enough to sign
  const std::string table = WriteTable({{"1", "big", kFileTypeNonFs, "EMMC_8G", "No", "big.bin"}});
  fs::create_directories(home_ + "Temp");
  for (const int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    const std::string staleOut = out_ + ".big.img.tarnel-Ab12Cd";
    const std::string staleTemp = home_ + "Temp/.big_Sign.img.tarnel-Ef34Gh";
    WriteText(staleOut, "left by a killed run");
    WriteText(staleTemp, "left by a killed run");
    const std::vector<std::string> argv = {TARNEL_CLI_PATH, "make", "--board", "2", "--config", table, "--keys",
                                           keys_, "--output", out_, "--home", home_};
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // The stale files go first; then the new partial output appears.
    bool writing = false;
    for (int i = 0; i < 3000 && !writing; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const auto partial = PartialFiles({out_});
      writing = !fs::exists(staleOut) && !partial.empty();
    }
    EXPECT_TRUE(writing);
    EXPECT_FALSE(fs::exists(staleTemp));
    ASSERT_EQ(::kill(pid, sig), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_EQ(PartialFiles({out_, home_ + "Temp/"}), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(out_ + "big.img"));
  }
}

// Past a file-size limit the run ends with the message naming the output,
// exit status 1, and the previous output as it was.
TEST_F(Cli, FileSizeLimitIsAWriteErrorThatKeepsThePreviousOutput) {
  WriteBytes(in_ + "a.bin", PatternBytes(3000, 1));
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  ASSERT_EQ(Run(MakeArgs("2", table)).status, 0);
  const std::vector<uint8_t> previous = ReadBytes(out_ + "a.img");
  WriteBytes(in_ + "a.bin", PatternBytes(3u << 20, 2));
  const CliResult r = Run(MakeArgs("2", table), "ulimit -f 1024");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errLines, (std::vector<std::string>{Format(kMsgWriteOutputFailed, (out_ + "a.img").c_str()),
                                                  Format(kMsgNonFsFailed, 1)}));
  EXPECT_EQ(ReadBytes(out_ + "a.img"), previous);
  EXPECT_EQ(PartialFiles({out_}), std::vector<std::string>{});
}

TEST_F(Cli, KeygenWritesAnOwnerOnlyKeyListAndRefusesToOverwrite) {
  const std::string path = root_ / "new/keys.txt";
  fs::create_directories(root_ / "new");
  CliResult r = Run("keygen new/keys.txt");
  ASSERT_EQ(r.status, 0);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  Workspace ws;
  RecordingReporter reporter;
  ASSERT_TRUE(LoadKeyListFile(ws, reporter, path));
  const std::string first = ReadText(path);

  r = Run("keygen new/keys.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadText(path), first);
  r = Run("keygen --force new/keys.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(ReadText(path), first);
  EXPECT_EQ(Run("keygen").status, 2);
}

TEST_F(Cli, DemoWritesAWorkspaceForBothGenerations) {
  const std::string ws = root_ / "ws/";
  const CliResult r = Run("demo ws --home " + ShellQuote(home_));
  ASSERT_EQ(r.status, 0) << (r.errLines.empty() ? "" : r.errLines[0]);
  const std::string input = ws + demo::kInputFolder + "/";
  EXPECT_EQ(fs::file_size(input + demo::kRawFile), demo::kRawFileSize);
  EXPECT_TRUE(fs::is_directory(ws + demo::kFirstGenOutput));
  EXPECT_TRUE(fs::is_directory(ws + demo::kLaterGenOutput));
  Workspace keys;
  RecordingReporter reporter;
  EXPECT_TRUE(LoadKeyListFile(keys, reporter, input + kDefaultKeyListName));

  const struct {
    const char* table;
    int32_t board;
    const char* flash;
    std::vector<std::pair<std::string, std::string>> rows;  // File Type, Unsigned File
    const char* outputFolder;
  } tables[] = {
      {demo::kFirstGenTable, 0, demo::kFirstGenFlash,
       {{kFileTypeFastboot, demo::kBootFile}, {kFileTypeNonFs, demo::kRawFile}, {kFileTypeExt4, demo::kExt4SparseFile},
        {kFileTypeYaffsOption, demo::kYaffsFile}, {kFileTypeNone, demo::kLogoFile}},
       demo::kFirstGenOutput},
      {demo::kLaterGenTable, 2, demo::kLaterGenFlash,
       {{kFileTypeFastboot, demo::kBootFile}, {kFileTypeNonFs, demo::kRawFile}, {kFileTypeExt4, demo::kExt4SparseFile},
        {kFileTypeUbi, demo::kUbiFile}, {kFileTypeNone, demo::kLogoFile}},
       demo::kLaterGenOutput},
  };
  for (const auto& t : tables) {
    SCOPED_TRACE(t.table);
    PartitionTable table;
    ASSERT_TRUE(LoadPartitionConfig(table, t.board, reporter, input + t.table));
    ASSERT_EQ(table.rows.size(), t.rows.size());
    for (size_t i = 0; i < t.rows.size(); ++i) {
      const PartitionRow& row = table.rows[i];
      EXPECT_TRUE(row.checked);
      EXPECT_EQ(row.fileType, t.rows[i].first);
      EXPECT_EQ(row.flashName, t.flash);
      EXPECT_EQ(row.unsignedFile, input + t.rows[i].second);
      const bool upgrade = row.fileType != kFileTypeFastboot && row.fileType != kFileTypeYaffsOption;
      EXPECT_EQ(row.upgrade, upgrade ? kUpgradeYes : kUpgradeNo);
    }
    // The printed command names the table, the key list, the output folder and the program folder.
    EXPECT_NE(r.out.find("--config " + input + t.table), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--output " + ws + t.outputFolder), std::string::npos) << r.out;
  }
  EXPECT_NE(r.out.find("--home " + home_), std::string::npos) << r.out;
}

// The demo's own commands, in a program folder like the built one (its flash
// layout, and Java when the build has it: the archive is signed natively
// either way), sign both tables completely.
TEST_F(Cli, DemoTablesSignEndToEnd) {
  const std::string built = std::string(TARNEL_HOME_DIR) + "/";
  fs::remove_all(home_ + "jre");
  if (fs::exists(built + "jre/bin/java") && fs::exists(built + "Config/signapk.jar")) {
    fs::create_symlink(fs::canonical(built + "jre"), home_ + "jre");
    fs::create_symlink(fs::canonical(built + "Config/signapk.jar"), home_ + "Config/signapk.jar");
  }
  fs::copy_file(built + "Config/FlashConfig.xml", home_ + "Config/FlashConfig.xml",
                fs::copy_options::overwrite_existing);

  ASSERT_EQ(Run("demo ws --home " + ShellQuote(home_)).status, 0);
  const std::string ws = root_ / "ws/";
  const std::string input = ws + demo::kInputFolder + "/";
  for (const char* sample : {demo::kBootFile, demo::kCfgFile, demo::kExt4SparseFile, demo::kUbiFile, demo::kYaffsFile,
                             demo::kTemplateFile, demo::kTestKeyPk8, demo::kTestKeyPem}) {
    if (!fs::exists(input + sample)) GTEST_SKIP() << "the demo does not write " << sample << " yet";
  }
  const struct {
    const char* board;
    const char* table;
    const char* output;
    std::vector<const char*> images;
  } runs[] = {
      {"Qm5820RA100", demo::kFirstGenTable, demo::kFirstGenOutput,
       {"fastboot.img", "kernel.img", "system.img", "userdata.img", kKeyPartImageName, kReleasePackageName}},
      {"Qm5820RA200", demo::kLaterGenTable, demo::kLaterGenOutput,
       {"fastboot.img", "kernel.img", "system.img", "system_Sign.img", "rootfs.img", "rootfs_Sign.img",
        kReleasePackageName}},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.board);
    const CliResult r = Run("make --board " + std::string(run.board) + " --config " +
                            ShellQuote(input + run.table) + " --keys " + ShellQuote(input + kDefaultKeyListName) +
                            " --output " + ShellQuote(ws + run.output) + " --home " + ShellQuote(home_));
    EXPECT_EQ(r.status, 0);
    ASSERT_FALSE(r.errLines.empty());
    EXPECT_EQ(r.errLines.back(), kMsgPackageDone);
    for (const char* image : run.images) EXPECT_TRUE(fs::exists(ws + run.output + "/" + image)) << image;
  }
  // The raw row of the later generation is a whole-image signature openssl accepts.
  const std::vector<std::string> keyLines = SplitLines(ReadText(input + kDefaultKeyListName));
  const std::vector<uint8_t> kernel = ReadBytes(input + demo::kRawFile);
  const std::vector<uint8_t> signedKernel = ReadBytes(ws + demo::kLaterGenOutput + "/kernel.img");
  ASSERT_EQ(signedKernel.size(), kernel.size() + kBlock);  // 3 MiB is a multiple of 8192
  EXPECT_TRUE(test::VerifyWithPublicKey(keyLines[0], keyLines[1], kernel.data(), kernel.size(),
                                        signedKernel.data() + kernel.size() + 116, 256));
}

// SIGTERM in the middle of a run (the boot row signed, a large image being
// signed): no file under the program folder's Temp or the output folder
// holds key material.
TEST_F(Cli, KilledRunLeavesNoKeyMaterial) {
  WriteText(in_ + "cfg.bin", "cfg");
  WriteBytes(in_ + "fastboot.bin", PatternBytes(3000, 1));
  {
    std::ofstream big(in_ + "big.bin", std::ios::binary);
    big.seekp((std::streamoff{1} << 30) - 1);
    big.put('\0');
  }
  const std::string table = WriteTable({{"1", "fastboot", "Fastboot", "EMMC_8G", "No", "fastboot.bin"},
                                        {"1", "big", "Non-File System", "EMMC_8G", "No", "big.bin"}});
  const std::string pidFile = root_ / "pid";
  ASSERT_EQ(RunShell(ShellQuote(TARNEL_CLI_PATH) + " " + MakeArgs("2", table) + " >/dev/null 2>&1 & echo $! >" +
                     ShellQuote(pidFile)),
            0);
  const std::string pid = Trim(ReadText(pidFile));
  // Wait until the boot image is in place and the large image is under way.
  bool started = false;
  for (int i = 0; i < 600 && !started; ++i) {
    started = fs::exists(out_ + "fastboot.img");
    if (!started) ::usleep(20000);
  }
  EXPECT_TRUE(started);
  std::string status;
  RunShell("kill -TERM " + pid + "; while kill -0 " + pid + " 2>/dev/null; do sleep 0.05; done; echo gone", &status);
  EXPECT_NE(status.find("gone"), std::string::npos);
  EXPECT_FALSE(fs::exists(out_ + "big.img"));
  EXPECT_EQ(test::FilesHoldingKeyMaterial(SplitLines(test::SharedKeyListText()), {home_ + "Temp/", out_}),
            std::vector<std::string>{});
}

}  // namespace
}  // namespace tarnel
