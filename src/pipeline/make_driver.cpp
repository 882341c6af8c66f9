#include "pipeline/make_driver.h"

#include <openssl/crypto.h>

#include "boot/boot_image.h"
#include "boot/key_list.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/text.h"
#include "package/upgrade_package.h"
#include "pipeline/key_partition.h"
#include "pipeline/messages.h"
#include "pipeline/row_checks.h"
#include "pipeline/run_outputs.h"
#include "signing/mac_containers.h"
#include "signing/sign_image.h"
#include "signing/sparse_ext4.h"
#include "signing/ubi.h"
#include "signing/yaffs.h"

namespace tarnel {

SpareLookup NandSpareSize(int32_t pageSize, int32_t eccType) {
  static constexpr int32_t kEcc[5] = {1, 4, 8, 24, 40};
  static constexpr struct {
    int32_t page;
    uint32_t spare[5];
  } kTable[] = {
      {2048, {64, 64, 64, 128, 0}},
      {4096, {56, 128, 128, 200, 0}},
      {8192, {0, 0, 0, 368, 592}},
      {16384, {0, 0, 0, 0, 1152}},
  };
  for (const auto& row : kTable) {
    if (row.page != pageSize) continue;
    SpareLookup out{true, 0};
    for (int i = 0; i < 5; ++i)
      if (kEcc[i] == eccType) out.spare = row.spare[i];
    return out;
  }
  return {};
}

namespace {

// Show M, bar to 0, end the run.
bool Fail(SigningContext& ctx, const std::string& message) {
  ctx.Show(message);
  ctx.SetPos(0);
  return false;
}

// Package steps: bar to 0 first, then M.
bool FailPackage(SigningContext& ctx, const std::string& message) {
  ctx.SetPos(0);
  ctx.Show(message);
  return false;
}

bool Succeed(SigningContext& ctx, const char* message) {
  ctx.SetPos(ctx.totalSteps);
  ctx.Reporter().Pause(kSuccessPauseMs);
  ctx.Show(message);
  ctx.SetPos(0);
  return true;
}

// A lock held by another run names the folder in use; one that cannot be
// had at all names what was locked and why.
bool TakeLock(SigningContext& ctx, const FileLock& lock, FileLock::Result result, const std::string& folder,
              const std::string& locked) {
  switch (result) {
    case FileLock::Result::Locked:
      return true;
    case FileLock::Result::Busy:
      ctx.Show(Format(kMsgRunInProgress, folder.c_str()));
      return false;
    case FileLock::Result::Failed:
      break;
  }
  ctx.Show(Format(kMsgLockFailed, locked.c_str(), lock.Error().c_str()));
  return false;
}

enum class RowResult { Signed, Skipped, Failed, RunEnded };

RowResult SignRow(SigningContext& ctx, const PartitionRow& row, int rowNumber) {
  const AppMembers& app = ctx.App();
  const bool firstGen = IsFirstGeneration(app.m_nBoardType);
  ctx.fileType = Trim(row.fileType);
  const std::string unsignedPath = HasSep(row.unsignedFile) ? row.unsignedFile : app.m_strInputDir + row.unsignedFile;
  const std::string outputImage = app.m_strOutputPath + row.outputName + ".img";

  const tagFlashData* flash = FindFlash(ctx.Ws().flashTable, row.flashName);
  if (flash == nullptr) {
    Fail(ctx, Format(kMsgFlashConfigInLine, rowNumber));
    return RowResult::RunEnded;
  }
  ctx.flashType = flash->strFlashType;
  ctx.pageSize = static_cast<uint32_t>(flash->nPageSize);
  ctx.blockSize = static_cast<uint32_t>(flash->nBlockSize);
  ctx.spareSize = 0;
  if (EqualsNoCase(flash->strFlashType, "Nand")) {
    const SpareLookup spare = NandSpareSize(flash->nPageSize, flash->nEccType);
    if (!spare.known) {
      Fail(ctx, Format(kMsgFlashConfigInLine, rowNumber));
      return RowResult::RunEnded;
    }
    ctx.spareSize = spare.spare;
  } else if (EqualsNoCase(flash->strFlashType, "Spi")) {
    ctx.pageSize = 1024;
  }

  const std::string& type = ctx.fileType;
  if (EqualsNoCase(type, kFileTypeFastboot)) {
    ctx.bootPageSize = ctx.pageSize;
    ctx.bootBlockSize = ctx.blockSize;
    ctx.bootSpareSize = ctx.spareSize;
    ctx.keyPartitionWanted = firstGen;
    const std::string cfgPath = app.m_strInputDir + kCfgBinName;
    if (!IsRegularFile(cfgPath)) {
      ctx.Show(kMsgCfgBinMissing);
      return RowResult::RunEnded;
    }
    if (!SignBootImage(ctx, outputImage, unsignedPath, app.m_strKeysFile, cfgPath)) {
      Fail(ctx, Format(kMsgBootFailed, rowNumber));
      return RowResult::RunEnded;
    }
    return RowResult::Signed;
  }
  if (EqualsNoCase(type, kFileTypeNonFs)) {
    bool ok;
    if (firstGen) {
      ctx.spareSize = 0;
      ok = SealRawImage(ctx, ctx.pageSize, outputImage, unsignedPath, ctx.blockSize, 0);
    } else {
      ok = SignImageFile(ctx, outputImage, unsignedPath);
    }
    if (!ok) {
      Fail(ctx, Format(kMsgNonFsFailed, rowNumber));
      return RowResult::RunEnded;
    }
    return RowResult::Signed;
  }
  if (EqualsNoCase(type, kFileTypeYaffs)) {
    if (!SealYaffsImage(ctx, outputImage, unsignedPath, ctx.pageSize, ctx.blockSize, ctx.spareSize)) {
      Fail(ctx, Format(kMsgYaffsFailed, rowNumber));
      return RowResult::RunEnded;
    }
    return RowResult::Signed;
  }
  if (EqualsNoCase(type, kFileTypeUbi)) {
    if (!SignUbiImage(ctx, outputImage, unsignedPath)) {
      Fail(ctx, Format(kMsgUbiFailed, rowNumber));
      return RowResult::RunEnded;
    }
    return RowResult::Signed;
  }
  if (EqualsNoCase(type, kFileTypeExt4)) {
    const bool ok = firstGen ? SealChunkedImage(ctx, outputImage, unsignedPath, ctx.pageSize, ctx.blockSize,
                                                ctx.spareSize)
                             : SignSparseExt4Image(ctx, outputImage, unsignedPath);
    if (!ok) {
      Fail(ctx, Format(kMsgExt4Failed, rowNumber));
      return RowResult::RunEnded;
    }
    return RowResult::Signed;
  }
  return RowResult::Skipped;
}

}  // namespace

bool RunMake(SigningContext& ctx) {
  // 1. Paths, complete rows, one input folder.
  if (!CheckMakeInputs(ctx)) return false;
  AppMembers& app = ctx.App();

  // One run per program folder: the Temp folder is locked for the whole run.
  const std::string tempDir = app.TempDir();
  if (!IsFolder(tempDir)) {
    ctx.Show(Format(kMsgTempFolderMissing, tempDir.c_str()));
    return false;
  }
  FileLock tempLock;
  if (!TakeLock(ctx, tempLock, tempLock.TryLock(tempDir + kTempLockName), tempDir, tempDir + kTempLockName))
    return false;
  // One run per output folder too: the folder itself is locked, nothing is
  // added to it. A folder that does not exist is left to the signers, whose
  // messages say that their files cannot be created.
  const std::string outputFolder = FolderPart(app.m_strOutputPath);
  FileLock outputLock;
  if (IsFolder(outputFolder.empty() ? std::string(".") : outputFolder) &&
      !TakeLock(ctx, outputLock, outputLock.TryLockFolder(outputFolder), outputFolder, outputFolder))
    return false;
  // Key files that a run killed before keys stayed in memory may have left.
  (void)RemoveStaleKeyFiles(tempDir);
  // The signer (a token session) and the way to its PIN live for this run only.
  struct SignerRelease {
    SigningContext& ctx;
    ~SignerRelease() {
      ctx.signer.reset();
      ctx.pinSource = nullptr;
    }
  } signerRelease{ctx};

  // 2. Counts of checked rows, "None" rows and upgrade rows.
  ctx.totalSteps = 0;
  ctx.doneSteps = 0;
  int checked = 0, none = 0, yes = 0;
  for (const PartitionRow& row : ctx.Ws().table.rows) {
    if (!row.checked) continue;
    ++checked;
    if (EqualsNoCase(row.fileType, kFileTypeNone)) ++none;
    if (EqualsNoCase(row.upgrade, kUpgradeYes)) ++yes;
  }
  // 3, 4.
  if (!CountMakeSteps(ctx)) return false;
  if (!CheckOutputNames(ctx)) return false;
  // 5. The Android test key pair is checked on every run.
  if (!IsRegularFile(app.m_strInputDir + "testkey.pk8")) {
    ctx.Show(kMsgTestkeyPk8Missing);
    return false;
  }
  if (!IsRegularFile(app.m_strInputDir + "testkey.x509.pem")) {
    ctx.Show(kMsgTestkeyPemMissing);
    return false;
  }
  // 6.
  if (checked == 0 || (none == checked && yes == checked)) {
    ctx.Show(kMsgNoValidItem);
    return false;
  }
  // No output may replace an input or another output. Partial files that a
  // killed run left beside them, or in Temp, go before anything is written.
  if (!CheckOutputsAgainstInputs(ctx)) return false;
  RemoveStaleSiblingsIn(tempDir);
  for (const std::string& output : PlannedOutputs(ctx.Ws())) RemoveStaleSiblings(output);
  // 7, 8.
  ctx.Reporter().SetProgressRange(ctx.totalSteps);
  ctx.SetPos(0);
  ctx.headerConstant = 2;
  // 9. The three 128-bit keys come from the end of the key list.
  const KeyLines& lines = ctx.Ws().keyLines;
  if (lines.size() < 3) return false;
  struct WipedKey {
    Key128 bytes;
    ~WipedKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  } v1{DecodeKey128(lines[lines.size() - 1])};
  ctx.imageMacKey = v1.bytes;
  ctx.keyPartitionWanted = false;
  ctx.bootPageSize = ctx.bootBlockSize = ctx.bootSpareSize = 0;
  // A token is opened and logged in before anything is signed.
  if (!OpenRunSigner(ctx)) {
    ctx.SetPos(0);
    return false;
  }

  // 10. Row loop.
  const auto& rows = ctx.Ws().table.rows;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].checked) continue;
    switch (SignRow(ctx, rows[i], static_cast<int>(i) + 1)) {
      case RowResult::Signed:
        ctx.StepDone();
        break;
      case RowResult::Skipped:
        break;
      case RowResult::Failed:
      case RowResult::RunEnded:
        return false;
    }
  }

  // 11. Key partition of a first-generation board.
  if (ctx.keyPartitionWanted) {
    if (!BuildKeyPartition(ctx)) return false;
    ctx.StepDone();
  }

  // 12. Nothing to upgrade.
  if (yes == 0) return Succeed(ctx, kMsgAllSigned);

  // 13. Upgrade package.
  const std::string packagePath = tempDir + kPackageName;
  const std::string signedPackagePath = tempDir + kSignedPackageName;
  if (!MakeUpgradePackage(ctx, packagePath)) return FailPackage(ctx, kMsgMakePackageFailed);
  ctx.StepDone();
  RunSignApk(ctx);
  if (!IsRegularFile(signedPackagePath)) return FailPackage(ctx, kMsgSignApkFailed);
  ctx.StepDone();
  ctx.imageMacKey = v1.bytes;
  if (!SignUpgradePackage(ctx, app.m_strOutputPath + kReleasePackageName, signedPackagePath))
    return FailPackage(ctx, kMsgSignPackageFailed);
  ctx.StepDone();
  return Succeed(ctx, kMsgPackageDone);
}

}  // namespace tarnel
