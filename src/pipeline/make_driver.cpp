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
#include "pipeline/run_plan.h"
#include "signing/mac_containers.h"
#include "signing/sign_image.h"
#include "signing/sparse_ext4.h"
#include "signing/ubi.h"
#include "signing/yaffs.h"

namespace tarnel {

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
  ctx.Reporter().ShowSuccess(message, kAppName, MsgIcon::None);
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

RowResult SignRow(SigningContext& ctx, const RunPlan& plan, const PlannedRow& row) {
  const AppMembers& app = ctx.App();
  ctx.fileType = Trim(ctx.Ws().table.rows[row.index].fileType);
  if (!row.geometry) {
    Fail(ctx, Format(kMsgFlashConfigInLine, row.number));
    return RowResult::RunEnded;
  }
  const FlashGeometry& g = *row.geometry;
  ctx.flashType = g.flashType;
  ctx.pageSize = g.pageSize;
  ctx.blockSize = g.blockSize;
  ctx.spareSize = g.spareSize;
  const std::string& outputImage = row.image;
  const std::string& unsignedPath = row.source;

  switch (row.kind) {
    case RowKind::Fastboot:
      ctx.bootPageSize = g.pageSize;
      ctx.bootBlockSize = g.blockSize;
      ctx.bootSpareSize = g.spareSize;
      ctx.keyPartitionWanted = plan.firstGeneration;
      if (!IsRegularFile(plan.cfgBinPath)) {
        ctx.Show(kMsgCfgBinMissing);
        return RowResult::RunEnded;
      }
      if (!SignBootImage(ctx, outputImage, unsignedPath, app.m_strKeysFile, plan.cfgBinPath)) {
        Fail(ctx, Format(kMsgBootFailed, row.number));
        return RowResult::RunEnded;
      }
      return RowResult::Signed;
    case RowKind::NonFs: {
      bool ok;
      if (plan.firstGeneration) {
        ctx.spareSize = 0;
        ok = SealRawImage(ctx, ctx.pageSize, outputImage, unsignedPath, ctx.blockSize, 0);
      } else {
        ok = SignImageFile(ctx, outputImage, unsignedPath);
      }
      if (!ok) {
        Fail(ctx, Format(kMsgNonFsFailed, row.number));
        return RowResult::RunEnded;
      }
      return RowResult::Signed;
    }
    case RowKind::Yaffs:
      if (!SealYaffsImage(ctx, outputImage, unsignedPath, ctx.pageSize, ctx.blockSize, ctx.spareSize)) {
        Fail(ctx, Format(kMsgYaffsFailed, row.number));
        return RowResult::RunEnded;
      }
      return RowResult::Signed;
    case RowKind::Ubi:
      if (!SignUbiImage(ctx, outputImage, unsignedPath)) {
        Fail(ctx, Format(kMsgUbiFailed, row.number));
        return RowResult::RunEnded;
      }
      return RowResult::Signed;
    case RowKind::Ext4: {
      const bool ok = plan.firstGeneration ? SealChunkedImage(ctx, outputImage, unsignedPath, ctx.pageSize,
                                                              ctx.blockSize, ctx.spareSize)
                                           : SignSparseExt4Image(ctx, outputImage, unsignedPath);
      if (!ok) {
        Fail(ctx, Format(kMsgExt4Failed, row.number));
        return RowResult::RunEnded;
      }
      return RowResult::Signed;
    }
    case RowKind::None:
    case RowKind::Other:
      break;
  }
  return RowResult::Skipped;
}

}  // namespace

bool RunMake(SigningContext& ctx) {
  // 1. Paths, complete rows, one input folder.
  if (!CheckMakeInputs(ctx)) return false;
  const RunPlan plan = PlanRun(ctx.Ws());

  // One run per program folder: the Temp folder is locked for the whole run.
  const std::string& tempDir = plan.tempDir;
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
  const std::string& outputFolder = plan.outputFolder;
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

  // 2-4. Step count, output names.
  ctx.totalSteps = plan.totalSteps;
  ctx.doneSteps = 0;
  if (!CheckOutputNames(ctx)) return false;
  // 5. The Android test key pair is checked on every run.
  if (!IsRegularFile(plan.androidKeyPath)) {
    ctx.Show(kMsgTestkeyPk8Missing);
    return false;
  }
  if (!IsRegularFile(plan.androidCertPath)) {
    ctx.Show(kMsgTestkeyPemMissing);
    return false;
  }
  // 6.
  const int checked = plan.checkedRows;
  if (checked == 0 || (plan.noneRows == checked && plan.upgradeRows == checked)) {
    ctx.Show(kMsgNoValidItem);
    return false;
  }
  // No output may replace an input or another output. Partial files that a
  // killed run left beside them, or in Temp, go before anything is written.
  if (!CheckOutputsAgainstInputs(ctx.Reporter(), plan)) return false;
  RemoveStaleSiblingsIn(tempDir);
  for (const std::string& output : plan.Outputs()) RemoveStaleSiblings(output);
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
  for (const PlannedRow& row : plan.rows) {
    if (row.Signed()) ctx.Reporter().SetStepName(AfterLastSep(row.image));
    switch (SignRow(ctx, plan, row)) {
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
  if (plan.keyPartition.wanted) {
    ctx.Reporter().SetStepName(AfterLastSep(plan.keyPartition.output));
    if (!BuildKeyPartition(ctx)) return false;
    ctx.StepDone();
  }

  // 12. Nothing to upgrade.
  if (!plan.package.wanted) return Succeed(ctx, kMsgAllSigned);

  // 13. Upgrade package.
  const PackagePlan& package = plan.package;
  ctx.Reporter().SetStepName(AfterLastSep(package.packagePath));
  if (!MakeUpgradePackage(ctx, package.packagePath)) return FailPackage(ctx, kMsgMakePackageFailed);
  ctx.StepDone();
  ctx.Reporter().SetStepName(ctx.App().m_archiveSigner == ArchiveSigner::Java
                                 ? std::string(kStepWaitingForJava)
                                 : AfterLastSep(package.signedPackagePath));
  SignPackageForAndroid(ctx);
  if (!IsRegularFile(package.signedPackagePath)) return FailPackage(ctx, kMsgSignApkFailed);
  ctx.StepDone();
  ctx.imageMacKey = v1.bytes;
  ctx.Reporter().SetStepName(AfterLastSep(package.output));
  if (!SignUpgradePackage(ctx, package.output, package.signedPackagePath))
    return FailPackage(ctx, kMsgSignPackageFailed);
  ctx.StepDone();
  return Succeed(ctx, kMsgPackageDone);
}

}  // namespace tarnel
