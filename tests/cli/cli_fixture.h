// The Cli fixture: a program folder, an input folder with the shared key
// list, an empty output folder, and the built tarnel-cli run through a shell
// as a person would run it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "boot/key_list.h"
#include "common/le.h"
#include "common/model.h"
#include "support/test_support.h"

namespace tarnel {

namespace fs = std::filesystem;
using test::PatternBytes;
using test::ReadBytes;
using test::ReadText;
using test::RunShell;
using test::ShellQuote;
using test::SplitLines;
using test::TempFolder;
using test::WriteBytes;
using test::WriteText;

inline constexpr size_t kBlock = 8192;

struct CliResult {
  int status = -1;
  std::vector<std::string> errLines;  // standard error, one message per line
  std::string out;                    // standard output
};

// One row of a hand-written partition table file.
struct XmlRow {
  std::string sel, outputName, fileType, flashName, upgrade, file;
};

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"home/Config", "home/jre", "in", "out"}) fs::create_directories(root_ / dir);
    home_ = root_ / "home/";
    in_ = root_ / "in/";
    out_ = root_ / "out/";
    WriteText(home_ + "Config/FlashConfig.xml",
              "<?xml version=\"1.0\"?>\n<FlashConfigs>\n"
              "  <Flash Name=\"NAND_2K\" Type=\"Nand\" PageSize=\"2K\" BlockSize=\"128K\" EccType=\"4\"/>\n"
              "  <Flash Name=\"EMMC_8G\" Type=\"eMMC\" PageSize=\"512\" BlockSize=\"512K\" EccType=\"0\"/>\n"
              "</FlashConfigs>\n");
    WriteText(home_ + "BurnConfig.ini", "[BurnConfig]\nMemory=512\n");
    keys_ = in_ + kDefaultKeyListName;
    WriteText(keys_, test::SharedKeyListText());
    WriteText(in_ + "testkey.pk8", "pk8");
    WriteText(in_ + "testkey.x509.pem", "pem");
  }

  // Runs the CLI in the test's root folder with `args` (already quoted),
  // after the shell command `prefix` when one is given.
  CliResult Run(const std::string& args, const std::string& prefix = "") {
    const std::string errPath = root_ / "stderr.txt";
    const std::string outPath = root_ / "stdout.txt";
    const std::string command = "(" + prefix + (prefix.empty() ? "" : "; ") + "cd " + ShellQuote(root_.Path()) +
                                " && " + ShellQuote(TARNEL_CLI_PATH) + " " + args + " >" + ShellQuote(outPath) +
                                " 2>" + ShellQuote(errPath) + ")";
    CliResult result;
    result.status = RunShell(command);
    result.errLines = SplitLines(ReadText(errPath));
    result.out = ReadText(outPath);
    return result;
  }

  std::string WriteTable(const std::vector<XmlRow>& rows, const std::string& name = "table.xml") {
    std::string xml = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Tarnel_PartConfigs>\n";
    for (const XmlRow& r : rows)
      xml += "    <PartConfig Sel=\"" + r.sel + "\" OutputName=\"" + r.outputName + "\" FileType=\"" + r.fileType +
             "\" FlashName=\"" + r.flashName + "\" Upgrade=\"" + r.upgrade + "\" UnsignedFile=\"" + r.file +
             "\"/>\n";
    xml += "</Tarnel_PartConfigs>\n";
    WriteText(in_ + name, xml);
    return in_ + name;
  }

  std::string MakeArgs(const std::string& board, const std::string& table, const std::string& extra = "") {
    return "make --board " + ShellQuote(board) + " --config " + ShellQuote(table) + " --keys " + ShellQuote(keys_) +
           " --output " + ShellQuote(out_) + " --home " + ShellQuote(home_) + extra;
  }

  // Checks an image signed whole: the source, 0xFF fill to a multiple of
  // 8192, a signature block whose signature openssl verifies with the public
  // key alone over the source bytes.
  void ExpectSignedWhole(const std::string& image, const std::vector<uint8_t>& source) {
    SCOPED_TRACE(image);
    const std::vector<uint8_t> bytes = ReadBytes(image);
    const size_t padded = (source.size() + kBlock - 1) / kBlock * kBlock;
    ASSERT_EQ(bytes.size(), padded + kBlock);
    EXPECT_TRUE(std::equal(source.begin(), source.end(), bytes.begin()));
    EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<long>(source.size()), bytes.begin() + static_cast<long>(padded),
                            [](uint8_t b) { return b == 0xFF; }));
    const uint8_t* block = bytes.data() + padded;
    EXPECT_EQ(GetLe32(block + 52), source.size());  // signed length
    EXPECT_EQ(GetLe32(block + 112), 256u);          // signature length

    const std::vector<std::string> lines = SplitLines(test::SharedKeyListText());
    const std::string pem = root_ / "public.pem";
    const std::string data = root_ / "data.bin";
    const std::string signature = root_ / "signature.bin";
    test::WritePublicKeyPem(lines[0], lines[1], pem);
    WriteBytes(data, source);
    WriteBytes(signature, std::vector<uint8_t>(block + 116, block + 116 + 256));
    std::string output;
    EXPECT_EQ(RunShell("openssl dgst -sha256 -verify " + ShellQuote(pem) + " -signature " + ShellQuote(signature) + " " +
                           ShellQuote(data),
                       &output),
              0)
        << output;
    EXPECT_NE(output.find("Verified OK"), std::string::npos) << output;
  }

  bool OutputEmpty() const { return fs::is_empty(out_); }

  TempFolder root_;
  std::string home_, in_, out_, keys_;
};

}  // namespace tarnel
