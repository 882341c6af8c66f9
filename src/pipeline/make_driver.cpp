#include "pipeline/make_driver.h"

#include <openssl/crypto.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "boot/boot_image.h"
#include "boot/key_list.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/text.h"
#include "package/upgrade_package.h"
#include "pipeline/key_partition.h"
#include "pipeline/messages.h"
#include "pipeline/read_back.h"
#include "pipeline/row_checks.h"
#include "signing/run_services.h"
#include "pipeline/run_outputs.h"
#include "pipeline/run_plan.h"
#include "signing/mac_containers.h"
#include "signing/sign_image.h"
#include "signing/sparse_ext4.h"
#include "signing/ubi.h"
#include "signing/yaffs.h"

namespace tarnel {

namespace {

// A lock held by another run names the folder in use; one that cannot be
// had at all names what was locked and why.
bool TakeLock(RunReporter& ctx, const FileLock& lock, FileLock::Result result, const std::string& folder,
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

// Tries a lock until it is no longer held by another run or the wait is
// over (`waitSeconds` < 0: no end), polling as `flock -w` would block.
FileLock::Result WaitForLock(const std::function<FileLock::Result()>& attempt, int waitSeconds,
                             const std::function<void()>& waiting) {
  FileLock::Result result = attempt();
  if (result != FileLock::Result::Busy || waitSeconds == 0) return result;
  if (waiting) waiting();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
  while (result == FileLock::Result::Busy && (waitSeconds < 0 || std::chrono::steady_clock::now() < deadline)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    result = attempt();
  }
  return result;
}

// Remembers the last message of the run on its way to the front end.
class ClosingMessage : public RunReporter {
 public:
  explicit ClosingMessage(RunReporter& inner) : inner_(inner) {}
  void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override {
    last_ = text;
    inner_.ShowMessage(text, caption, icon);
  }
  void ShowMessageDetail(const std::string& text, const std::string& detail, const std::string& caption,
                         MsgIcon icon) override {
    last_ = text;
    inner_.ShowMessageDetail(text, detail, caption, icon);
  }
  void SetProgressRange(int maximum) override { inner_.SetProgressRange(maximum); }
  void SetProgressPos(int position) override { inner_.SetProgressPos(position); }
  void Pause(int milliseconds) override { inner_.Pause(milliseconds); }
  void SetStepProgress(uint64_t done, uint64_t total) override { inner_.SetStepProgress(done, total); }
  void SetStepName(const std::string& name) override { inner_.SetStepName(name); }
  [[nodiscard]] const std::string& Last() const { return last_; }

 private:
  RunReporter& inner_;
  std::string last_;
};

RunOutcome Failed(RunStep step, int row = 0) {
  RunOutcome outcome;
  outcome.step = step;
  outcome.row = row;
  return outcome;
}

// One run: the checks, the rows, the key partition, the package, the read-back.
class MakeRun {
 public:
  MakeRun(Workspace& ws, RunReporter& reporter, const RunOptions& options)
      : ws_(ws), ctx_(ws, reporter), options_(options) {}
  ~MakeRun() { OPENSSL_cleanse(v1_.data(), v1_.size()); }
  MakeRun(const MakeRun&) = delete;
  MakeRun& operator=(const MakeRun&) = delete;

  // What signed the upgrade archive, once it is signed (also when a later
  // step failed).
  [[nodiscard]] std::optional<ArchiveSigner> SignedArchiveWith() const { return archiveSigner_; }

  RunOutcome Run() {
    // 1. Paths, complete rows, one input folder.
    if (!CheckMakeInputs(ctx_.Reporter(), ws_)) return Failed(RunStep::Checks);
    const RunPlan plan = PlanRun(ws_);
    // One run per program folder and per output folder: both stay locked
    // for the whole run.
    FileLock tempLock, outputLock;
    if (!Lock(plan, tempLock, outputLock)) return Failed(RunStep::Checks);
    // Key files that a run killed before keys stayed in memory may have left.
    (void)RemoveStaleKeyFiles(plan.tempDir);
    // The signer (a token session) and the way to its PIN live for this run
    // only: they go before the locks are let go.
    struct SignerRelease {
      RunServices& ctx;
      ~SignerRelease() {
        ctx.signer.reset();
        ctx.pinSource = nullptr;
      }
    } signerRelease{ctx_};
    ctx_.signerSpec = options_.signerSpec;
    ctx_.pinSource = options_.pinSource;
    if (!CheckPlan(plan)) return Failed(RunStep::Checks);
    return Sign(plan);
  }

 private:
  bool Lock(const RunPlan& plan, FileLock& tempLock, FileLock& outputLock) {
    const std::string& tempDir = plan.tempDir;
    if (!IsFolder(tempDir)) {
      ctx_.Show(Format(kMsgTempFolderMissing, tempDir.c_str()));
      return false;
    }
    const std::string lockFile = tempDir + kTempLockName;
    const FileLock::Result tempResult = WaitForLock([&] { return tempLock.TryLock(lockFile); },
                                                    options_.lockWaitSeconds, [&] { Waiting(tempDir); });
    if (!TakeLock(ctx_.Reporter(), tempLock, tempResult, tempDir, lockFile)) return false;
    // The output folder itself is locked, nothing is added to it. A folder
    // that does not exist is left to the signers, whose messages say that
    // their files cannot be created.
    const std::string& outputFolder = plan.outputFolder;
    if (!IsFolder(outputFolder.empty() ? std::string(".") : outputFolder)) return true;
    const FileLock::Result outputResult = WaitForLock([&] { return outputLock.TryLockFolder(outputFolder); },
                                                      options_.lockWaitSeconds, [&] { Waiting(outputFolder); });
    return TakeLock(ctx_.Reporter(), outputLock, outputResult, outputFolder, outputFolder);
  }

  void Waiting(const std::string& folder) {
    if (options_.waiting) options_.waiting(folder);
  }

  // Steps 2 to 6: names, the test key pair, something to do, no clashes.
  bool CheckPlan(const RunPlan& plan) {
    if (!CheckOutputNames(ctx_.Reporter(), ws_)) return false;
    // The Android test key pair is checked on every run; its private key
    // may sit in a token instead, for the native signers.
    const std::string& archiveKey = ws_.app.m_archiveKey;
    if (!archiveKey.empty() && !StartsWithNoCase(archiveKey, kSignerPkcs11Scheme)) {
      ctx_.Show(Format(kMsgArchiveKeyNotToken, SignerTextForMessages(archiveKey).c_str()));
      return false;
    }
    if (!archiveKey.empty() && ws_.app.m_archiveSigner == ArchiveSigner::Java) {
      ctx_.Show(kMsgArchiveKeyNeedsNative);
      return false;
    }
    if (archiveKey.empty() && !IsRegularFile(plan.androidKeyPath)) {
      ctx_.Show(kMsgTestkeyPk8Missing);
      return false;
    }
    if (!IsRegularFile(plan.androidCertPath)) {
      ctx_.Show(kMsgTestkeyPemMissing);
      return false;
    }
    const int checked = plan.checkedRows;
    if (checked == 0 || (plan.noneRows == checked && plan.upgradeRows == checked)) {
      ctx_.Show(kMsgNoValidItem);
      return false;
    }
    // No output may replace an input or another output. Partial files that a
    // killed run left beside them, or in Temp, go before anything is written.
    if (!CheckOutputsAgainstInputs(ctx_.Reporter(), plan)) return false;
    RemoveStaleSiblingsIn(plan.tempDir);
    for (const std::string& output : plan.Outputs()) RemoveStaleSiblings(output);
    return true;
  }

  RunOutcome Sign(const RunPlan& plan) {
    ctx_.Reporter().SetProgressRange(plan.totalSteps);
    ctx_.SetPos(0);
    // The image MAC key V1 comes from the end of the key list (the key
    // partition takes V2 and V3 for itself).
    const KeyLines& lines = ws_.keyLines;
    if (lines.size() < 3) return Failed(RunStep::Keys);
    v1_ = DecodeKey128(lines[lines.size() - 1]);
    // A token is opened and logged in before anything is signed.
    if (!OpenRunSigner(ctx_)) {
      ctx_.SetPos(0);
      return Failed(RunStep::Signer);
    }
    for (const PlannedRow& row : plan.rows) {
      if (row.Signed()) ctx_.Reporter().SetStepName(AfterLastSep(row.image));
      if (!SignRow(plan, row)) return Failed(RunStep::Row, row.number);
      if (row.Signed()) ctx_.StepDone();
    }
    if (plan.keyPartition.wanted) {
      ctx_.Reporter().SetStepName(AfterLastSep(plan.keyPartition.output));
      const KeyPartitionPlan& keyPartition = plan.keyPartition;
      if (!BuildKeyPartition(ctx_, keyPartition.boot, ws_.app.m_nBoardType, keyPartition.output))
        return Failed(RunStep::KeyPartition);
      ctx_.StepDone();
    }
    if (!plan.package.wanted) return Succeed(plan, RunOutcome::Kind::AllSigned, kMsgAllSigned);
    if (const std::optional<RunStep> failed = Package(plan)) return Failed(*failed);
    return Succeed(plan, RunOutcome::Kind::PackageDone, kMsgPackageDone);
  }

  // Shows M, bar to 0: the run ends.
  bool Fail(const std::string& message) {
    ctx_.Show(message);
    ctx_.SetPos(0);
    return false;
  }

  bool SignRow(const RunPlan& plan, const PlannedRow& row) {
    if (!row.geometry) return Fail(Format(kMsgFlashConfigInLine, row.number));
    const FlashGeometry& g = *row.geometry;
    const std::string& image = row.image;
    const std::string& source = row.source;
    switch (row.kind) {
      case RowKind::Fastboot:
        if (!IsRegularFile(plan.cfgBinPath)) {
          ctx_.Show(kMsgCfgBinMissing);  // the bar stays where it is
          return false;
        }
        return SignBootImage(ctx_, ws_.app.m_nBoardType, image, source, ws_.app.m_strKeysFile, plan.cfgBinPath) ||
               Fail(Format(kMsgBootFailed, row.number));
      case RowKind::NonFs:
        // A first-generation image container carries a spare word of 0.
        return (plan.firstGeneration ? SealRawImage(ctx_, FlashGeometry{g.flashType, g.pageSize, g.blockSize, 0}, v1_,
                                                    image, source)
                                     : SignImageFile(ctx_, image, source)) ||
               Fail(Format(kMsgNonFsFailed, row.number));
      case RowKind::Yaffs:
        return SealYaffsImage(ctx_, g, v1_, image, source) ||
               Fail(Format(kMsgYaffsFailed, row.number));
      case RowKind::Ubi:
        return SignUbiImage(ctx_, image, source) || Fail(Format(kMsgUbiFailed, row.number));
      case RowKind::Ext4:
        return (plan.firstGeneration ? SealChunkedImage(ctx_, g, v1_, image, source)
                                     : SignSparseExt4Image(ctx_, image, source)) ||
               Fail(Format(kMsgExt4Failed, row.number));
      case RowKind::None:
      case RowKind::Other:
        break;  // skipped: nothing is called, no step is spent
    }
    return true;
  }

  // The package steps put the bar to 0 before their message. The failed
  // step, or nothing when the package is sealed.
  std::optional<RunStep> Package(const RunPlan& plan) {
    const PackagePlan& package = plan.package;
    const auto fail = [this](RunStep step, const char* message) {
      ctx_.SetPos(0);
      ctx_.Show(message);
      return step;
    };
    // Java signs a package built first; the native signers build theirs
    // while they sign it, in the next step.
    const bool java = ws_.app.m_archiveSigner == ArchiveSigner::Java;
    ctx_.Reporter().SetStepName(AfterLastSep(package.packagePath));
    if (!(java ? MakeUpgradePackage(ctx_, ws_, package.packagePath) : CheckUpgradePackageTemplate(ctx_, ws_)))
      return fail(RunStep::MakePackage, kMsgMakePackageFailed);
    ctx_.StepDone();
    ctx_.Reporter().SetStepName(java ? std::string(kStepWaitingForJava) : AfterLastSep(package.signedPackagePath));
    ArchiveSigner signedBy = ws_.app.m_archiveSigner;
    switch (SignPackageForAndroid(ctx_, ws_)) {
      case AndroidSigning::Signed:
        break;
      case AndroidSigning::SignedByJava:
        signedBy = ArchiveSigner::Java;
        break;
      case AndroidSigning::PackageFailed:
        return fail(RunStep::MakePackage, kMsgMakePackageFailed);
      case AndroidSigning::SignFailed:
        return fail(RunStep::SignApk, kMsgSignApkFailed);
    }
    if (!IsRegularFile(package.signedPackagePath)) return fail(RunStep::SignApk, kMsgSignApkFailed);
    archiveSigner_ = signedBy;
    ctx_.StepDone();
    ctx_.Reporter().SetStepName(AfterLastSep(package.output));
    if (!SignUpgradePackage(ctx_, package.geometry, v1_, plan.firstGeneration, package.output,
                            package.signedPackagePath))
      return fail(RunStep::SealPackage, kMsgSignPackageFailed);
    ctx_.StepDone();
    return std::nullopt;
  }

  // The bar at its end, the pause, then (make --verify) every output read
  // back, and the closing message.
  RunOutcome Succeed(const RunPlan& plan, RunOutcome::Kind kind, const char* message) {
    ctx_.SetPos(plan.totalSteps);
    ctx_.Reporter().Pause(kSuccessPauseMs);
    if (options_.readBack) {
      const std::string failure = ReadBackOutputs(plan, ws_.app, ctx_.Reporter());
      if (!failure.empty()) {
        ctx_.Show(failure, MsgIcon::Stop);
        ctx_.SetPos(0);
        return Failed(RunStep::ReadBack);
      }
    }
    ctx_.Show(message);
    ctx_.SetPos(0);
    RunOutcome outcome;
    outcome.kind = kind;
    return outcome;
  }

  Workspace& ws_;
  RunServices ctx_;
  const RunOptions& options_;
  Key128 v1_{};  // the image MAC key, wiped with the run
  std::optional<ArchiveSigner> archiveSigner_;  // what signed the upgrade archive
};

}  // namespace

RunOutcome RunMake(Workspace& ws, RunReporter& reporter, const RunOptions& options) {
  ClosingMessage closing(reporter);
  MakeRun run(ws, closing, options);
  RunOutcome outcome = run.Run();
  outcome.archiveSigner = run.SignedArchiveWith();
  outcome.message = closing.Last();
  reporter.RunFinished(outcome);
  return outcome;
}

}  // namespace tarnel
