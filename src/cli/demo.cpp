// tarnel-cli demo: a key list, samples of every File Type and one partition
// table per board generation, ready for `tarnel-cli make`.
#include "cli/demo.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "boot/key_gen.h"
#include "boot/key_list.h"
#include "common/files.h"
#include "common/model.h"
#include "common/paths.h"
#include "common/platform.h"
#include "config/partition_config.h"

namespace tarnel::demo {

namespace {

void Complain(const std::string& text) { std::fprintf(stderr, "tarnel-cli: demo: %s\n", text.c_str()); }

// `size` bytes of a repeatable pattern (xorshift32 from `seed`), so every
// demo workspace signs to the same images.
bool WritePatternFile(const std::string& path, size_t size, uint32_t seed) {
  OutFile out;
  if (!out.Create(path)) return false;
  std::vector<uint8_t> piece(64 * 1024);
  uint32_t x = seed;
  for (size_t left = size; left > 0;) {
    const size_t n = left < piece.size() ? left : piece.size();
    for (size_t i = 0; i < n; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      piece[i] = static_cast<uint8_t>(x >> 24);
    }
    if (!out.Write(piece.data(), n)) return false;
    left -= n;
  }
  return out.Commit();
}

PartitionRow Row(const std::string& inputDir, const char* outputName, const char* fileType, const char* flash,
                 const char* upgrade, const char* file) {
  PartitionRow row;
  row.checked = true;
  row.outputName = outputName;
  row.fileType = fileType;
  row.flashName = flash;
  row.upgrade = upgrade;
  row.unsignedFile = inputDir + file;
  return row;
}

// Board 0: the MAC containers on a 2K-page NAND.
PartitionTable FirstGenerationTable(const std::string& inputDir) {
  PartitionTable table;
  table.rows = {
      Row(inputDir, "fastboot", kFileTypeFastboot, kFirstGenFlash, kUpgradeNo, kBootFile),
      Row(inputDir, "kernel", kFileTypeNonFs, kFirstGenFlash, kUpgradeYes, kRawFile),
      Row(inputDir, "system", kFileTypeExt4, kFirstGenFlash, kUpgradeYes, kExt4SparseFile),
      Row(inputDir, "userdata", kFileTypeYaffsOption, kFirstGenFlash, kUpgradeNo, kYaffsFile),
      Row(inputDir, "logo", kFileTypeNone, kFirstGenFlash, kUpgradeYes, kLogoFile),
  };
  return table;
}

// Board 2: the RSA signature blocks on eMMC.
PartitionTable LaterGenerationTable(const std::string& inputDir) {
  PartitionTable table;
  table.rows = {
      Row(inputDir, "fastboot", kFileTypeFastboot, kLaterGenFlash, kUpgradeNo, kBootFile),
      Row(inputDir, "kernel", kFileTypeNonFs, kLaterGenFlash, kUpgradeYes, kRawFile),
      Row(inputDir, "system", kFileTypeExt4, kLaterGenFlash, kUpgradeYes, kExt4SparseFile),
      Row(inputDir, "rootfs", kFileTypeUbi, kLaterGenFlash, kUpgradeYes, kUbiFile),
      Row(inputDir, "logo", kFileTypeNone, kLaterGenFlash, kUpgradeYes, kLogoFile),
  };
  return table;
}

// A word for a shell command line, quoted only when it needs to be.
std::string ShellWord(const std::string& word) {
  constexpr std::string_view kPlain =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./:=+,";
  if (!word.empty() && word.find_first_not_of(kPlain) == std::string::npos) return word;
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string MakeCommand(const std::string& board, const std::string& table, const std::string& keys,
                        const std::string& output, const std::string& homeDir) {
  std::string command = ShellWord(ExecutableDir() + "tarnel-cli") + " make --board " + board + " --config " +
                        ShellWord(table) + " --keys " + ShellWord(keys) + " --output " + ShellWord(output);
  if (!homeDir.empty()) command += " --home " + ShellWord(homeDir);
  return command;
}

}  // namespace

int RunDemo(const std::string& folder, const std::string& homeDir) {
  const std::string root = WithTrailingSep(folder);
  const std::string inputDir = root + kInputFolder + std::string(kSepStr);
  const std::string firstOut = root + kFirstGenOutput + std::string(kSepStr);
  const std::string laterOut = root + kLaterGenOutput + std::string(kSepStr);
  for (const std::string& dir : {inputDir, firstOut, laterOut}) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!IsFolder(dir)) {
      Complain("cannot create the folder " + dir);
      return 1;
    }
  }

  // An existing key list is kept, so earlier outputs stay verifiable.
  const std::string keysPath = inputDir + kDefaultKeyListName;
  switch (WriteNewKeyList(keysPath, /*force=*/false)) {
    case KeyListWrite::Ok:
    case KeyListWrite::Exists:
      break;
    case KeyListWrite::GenerateFailed:
      Complain("cannot generate the keys");
      return 1;
    case KeyListWrite::WriteFailed:
      Complain("cannot write " + keysPath);
      return 1;
  }
  if (!WritePatternFile(inputDir + kRawFile, kRawFileSize, 0x6B65726E) ||
      !WritePatternFile(inputDir + kLogoFile, kLogoFileSize, 0x6C6F676F)) {
    Complain("cannot write the raw samples into " + inputDir);
    return 1;
  }
  using Writer = bool (*)(const std::string&, std::string&);
  for (Writer writer : {&WriteBootSamples, &WriteFsSamples, &WritePackageSamples}) {
    std::string error;
    if (!writer(inputDir, error)) {
      Complain(error.empty() ? "cannot write the samples into " + inputDir : error);
      return 1;
    }
  }

  const std::string firstTable = inputDir + kFirstGenTable;
  const std::string laterTable = inputDir + kLaterGenTable;
  PartitionTable first = FirstGenerationTable(inputDir);
  PartitionTable later = LaterGenerationTable(inputDir);
  if (!SavePartitionConfig(first, firstTable) || !SavePartitionConfig(later, laterTable)) {
    Complain("cannot write the partition tables into " + inputDir);
    return 1;
  }

  std::string missing;
  for (const char* name : {kBootFile, kCfgFile, kExt4SparseFile, kUbiFile, kYaffsFile, kTemplateFile, kTestKeyPk8,
                           kTestKeyPem}) {
    if (!IsRegularFile(inputDir + name)) missing += std::string(missing.empty() ? "" : ", ") + name;
  }

  std::printf("Demo workspace: %s\n", root.c_str());
  std::printf("  inputs, key list and partition tables: %s\n", inputDir.c_str());
  if (!missing.empty())
    std::printf("  not available in this build yet: %s (the rows that need them will fail)\n", missing.c_str());
  std::printf("\nSign for a first-generation board (%.*s):\n  %s\n", static_cast<int>(kBoardTypeNames[0].size()),
              kBoardTypeNames[0].data(),
              MakeCommand(std::string(kBoardTypeNames[0]), firstTable, keysPath, firstOut, homeDir).c_str());
  std::printf("\nSign for a later-generation board (%.*s):\n  %s\n", static_cast<int>(kBoardTypeNames[2].size()),
              kBoardTypeNames[2].data(),
              MakeCommand(std::string(kBoardTypeNames[2]), laterTable, keysPath, laterOut, homeDir).c_str());
  return 0;
}

}  // namespace tarnel::demo
