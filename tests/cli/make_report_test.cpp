// make --report: the report is one more output of the run. It never replaces
// an input, an output or a file of the program folder, and it reaches
// standard output, a FIFO or a link's target as those expect.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "cli/cli_fixture.h"
#include "common/text.h"
#include "pipeline/make_driver.h"
#include "pipeline/messages.h"
#include "signing/sign_image.h"

namespace tarnel {
namespace {

class MakeReport : public Cli {
 protected:
  void SetUp() override {
    Cli::SetUp();
    WriteBytes(in_ + "a.bin", PatternBytes(3000, 7));
    table_ = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  }
  std::string table_;
};

TEST_F(MakeReport, NeverReplacesAFileOfTheRunOrOfTheProgramFolder) {
  const std::string image = out_ + "a.img";
  WriteText(image, "previous output");
  const std::string keysBefore = ReadText(keys_);
  const struct {
    const char* name;
    std::string report;
    std::string message;
  } cases[] = {
      {"the key list", keys_, Format(kMsgOutputIsInput, keys_.c_str(), keys_.c_str())},
      {"the partition table", table_, Format(kMsgOutputIsInput, table_.c_str(), table_.c_str())},
      {"an unsigned file", in_ + "a.bin", Format(kMsgOutputIsInput, (in_ + "a.bin").c_str(), (in_ + "a.bin").c_str())},
      {"an output, by another spelling", out_ + "./a.img", Format(kMsgOutputsCollide, image.c_str(), image.c_str())},
      {"the flash layout", home_ + "Config/FlashConfig.xml",
       "The output " + home_ + "Config/FlashConfig.xml would replace a file of the program folder " + home_ + "!"},
      {"BurnConfig.ini", home_ + "BurnConfig.ini",
       "The output " + home_ + "BurnConfig.ini would replace a file of the program folder " + home_ + "!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = ReadText(c.report);
    const CliResult r = Run(MakeArgs("2", table_, " --report " + ShellQuote(c.report)));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines, std::vector<std::string>{c.message});
    EXPECT_EQ(ReadText(c.report), before);
  }
  EXPECT_EQ(ReadText(keys_), keysBefore);
  EXPECT_EQ(ReadText(image), "previous output");
  EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator()), 1);
}

TEST_F(MakeReport, GoesToStandardOutputAFifoOrThroughALink) {
  const auto parsed = [](const std::string& text) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << text;
    return j.is_discarded() ? 1 : j.value("exit_status", 1);
  };
  {
    SCOPED_TRACE("-");
    const CliResult r = Run(MakeArgs("2", table_, " --report -"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(parsed(r.out), 0);
  }
  {
    SCOPED_TRACE("/dev/stdout");
    const CliResult r = Run(MakeArgs("2", table_, " --report /dev/stdout"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(parsed(r.out), 0);
  }
  {
    SCOPED_TRACE("a FIFO read by another process");
    const std::string fifo = root_ / "report.fifo";
    const std::string got = root_ / "got.json";
    const CliResult r = Run(MakeArgs("2", table_, " --report " + ShellQuote(fifo)),
                            "mkfifo " + ShellQuote(fifo) + " && (cat " + ShellQuote(fifo) + " > " + ShellQuote(got) +
                                " &)");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(RunShell("for i in $(seq 50); do [ -s " + ShellQuote(got) + " ] && break; sleep 0.1; done"), 0);
    EXPECT_EQ(parsed(ReadText(got)), 0);
    EXPECT_TRUE(fs::is_fifo(fifo));
  }
  {
    SCOPED_TRACE("a link to a regular file");
    const std::string target = root_ / "target.json";
    const std::string link = root_ / "link.json";
    WriteText(target, "old");
    fs::create_symlink(target, link);
    const CliResult r = Run(MakeArgs("2", table_, " --report " + ShellQuote(link)));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(parsed(ReadText(target)), 0);
  }
}

// make --json: the record on standard output, parsed by a JSON parser; its
// digests agree with sha256sum and the listed outputs are what verify
// --report then checks, to the byte.
TEST_F(MakeReport, JsonRecordAndVerifyByReport) {
  const CliResult r = Run(MakeArgs("2", table_, " --json --report " + ShellQuote(root_ / "run.json")));
  ASSERT_EQ(r.status, 0);
  const nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["schema"], 1);
  EXPECT_EQ(j["tool"], "tarnel-cli");
  EXPECT_EQ(j["signer"], "keylist");
  EXPECT_EQ(j["keys"][0]["id"], "external");
  EXPECT_EQ(j["keys"][1]["id"], "root");
  EXPECT_EQ(j["messages"], nlohmann::json::array({{{"text", kMsgAllSigned}}}));
  std::string sum;
  ASSERT_EQ(RunShell("sha256sum " + ShellQuote(keys_), &sum), 0);
  EXPECT_EQ(j["key_list"]["sha256"], sum.substr(0, 64));
  ASSERT_EQ(j["outputs"].size(), 1u);
  EXPECT_EQ(j["outputs"][0]["file"], out_ + "a.img");
  EXPECT_EQ(nlohmann::json::parse(ReadText(root_ / "run.json")), j);

  CliResult v = Run("verify --report " + ShellQuote(root_ / "run.json"));
  EXPECT_EQ(v.status, 0) << v.out;
  EXPECT_EQ(v.out, "OK " + out_ + "a.img: whole image (RSA)\n");
  // Quiet: only errors, so nothing at all after a run that verifies.
  const CliResult quiet = Run("verify -q --report " + ShellQuote(root_ / "run.json"));
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
  const CliResult quietMake = Run(MakeArgs("2", table_, " --quiet"));
  EXPECT_EQ(quietMake.status, 0);
  EXPECT_TRUE(quietMake.errLines.empty());
  // One byte changed and the length kept: the digest gives it away.
  std::vector<uint8_t> bytes = ReadBytes(out_ + "a.img");
  bytes[0] ^= 1;
  WriteBytes(out_ + "a.img", bytes);
  v = Run("verify --report " + ShellQuote(root_ / "run.json"));
  EXPECT_EQ(v.status, 1);
  EXPECT_NE(v.out.find("FAIL " + out_ + "a.img: SHA-256 differs from the report's"), std::string::npos) << v.out;
  // A report whose fields are of other types than make writes is refused as
  // one, one field at a time.
  const nlohmann::json good = nlohmann::json::parse(ReadText(root_ / "run.json"));
  for (const auto& [pointer, value] : std::vector<std::pair<std::string, nlohmann::json>>{
           {"/outputs/0/size", "big"}, {"/outputs/0/sha256", 5}, {"/key_list/path", 5}}) {
    nlohmann::json changed = good;
    changed[nlohmann::json::json_pointer(pointer)] = value;
    WriteText(root_ / "changed.json", changed.dump());
    v = Run("verify --report " + ShellQuote(root_ / "changed.json"));
    EXPECT_EQ(v.status, 2) << pointer;
    EXPECT_EQ(v.errLines, std::vector<std::string>{"tarnel-cli: " + (root_ / "changed.json") +
                                                   " is not a report of tarnel-cli make"})
        << pointer;
  }
  // A FIFO in its place is named for what it is, and not waited on.
  fs::remove(out_ + "a.img");
  ASSERT_EQ(::mkfifo((out_ + "a.img").c_str(), 0600), 0);
  v = Run("verify --report " + ShellQuote(root_ / "run.json"));
  EXPECT_EQ(v.status, 1);
  EXPECT_EQ(v.out, "FAIL " + out_ + "a.img: not a regular file: listed in the report\n");

  // A failed run's record names the cause and every message in order.
  const CliResult failed = Run(MakeArgs("2", WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "none.bin"}}),
                                        " --json"));
  EXPECT_EQ(failed.status, 1);
  const nlohmann::json f = nlohmann::json::parse(failed.out);
  EXPECT_EQ(f["exit_status"], 1);
  EXPECT_EQ(f["cause"], Format(kMsgNonFsFailed, 1));
  ASSERT_EQ(f["messages"].size(), 2u);
  EXPECT_EQ(f["messages"][0]["detail"], in_ + "none.bin: No such file or directory");
}

}  // namespace
}  // namespace tarnel
