#include "package/upgrade_package.h"

#include <cstdlib>

#include "common/files.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/text.h"
#include "package/apk_signer.h"
#include "package/zip_archive.h"
#include "signing/mac_containers.h"
#include "signing/signer.h"
#include "signing/sign_image.h"
#include "package/messages.h"

namespace tarnel {

namespace {

struct PackageEntry {
  std::string diskPath;
  std::string name;
};

bool IsUpgradeRow(const PartitionRow& row) { return row.checked && EqualsNoCase(row.upgrade, kUpgradeYes); }

// The entries of the upgrade rows, in table order.
std::vector<PackageEntry> PackageEntries(const Workspace& ws) {
  const AppMembers& app = ws.app;
  const bool laterBoard = !IsFirstGeneration(app.m_nBoardType);
  std::vector<PackageEntry> entries;
  for (const PartitionRow& row : ws.table.rows) {
    if (!IsUpgradeRow(row)) continue;
    const std::string type = Trim(row.fileType);
    const std::string& name = row.outputName;
    if (laterBoard && (EqualsNoCase(type, kFileTypeExt4) || EqualsNoCase(type, kFileTypeUbi)))
      entries.push_back({app.m_strOutputPath + name + "_Sign.img", name + "_Sign.img"});
    if (EqualsNoCase(type, kFileTypeNone)) {
      // Read from where the row loop reads unsigned files: a bare name lies
      // in the input folder, not in whatever folder the program runs in.
      const std::string& file = row.unsignedFile;
      entries.push_back({HasSep(file) ? file : app.m_strInputDir + file, name + ".img"});
    } else {
      entries.push_back({app.m_strOutputPath + name + ".img", name + ".img"});
    }
  }
  return entries;
}

bool FailPackage(RunServices& ctx, const std::string& packagePath, const std::string& message) {
  if (IsRegularFile(packagePath)) RemoveFile(packagePath);
  ctx.Show(message);
  return false;
}

}  // namespace

bool CheckUpgradePackage(RunServices& ctx, const Workspace& ws) {
  // 1. All upgrade rows share one Flash Name.
  std::string upgradeFlashName;
  for (const PartitionRow& row : ws.table.rows) {
    if (!IsUpgradeRow(row)) continue;
    if (upgradeFlashName.empty()) {
      upgradeFlashName = row.flashName;
    } else if (!EqualsNoCase(row.flashName, upgradeFlashName)) {
      ctx.Show(kMsgUpgradeFlashDiffers);
      return false;
    }
  }
  // 2.
  if (FindFlash(ws.flashTable, upgradeFlashName) == nullptr) {
    ctx.Show(kMsgUpgradeFlashNotFound);
    return false;
  }
  // 3.
  const std::string templatePath = ws.app.m_strInputDir + kTemplateName;
  if (FileExists(templatePath) != 1) {
    ctx.Show(Format(kMsgTemplateNotFound, kTemplateName));
    return false;
  }
  return true;
}

bool CheckUpgradePackageTemplate(RunServices& ctx, const Workspace& ws) {
  if (!CheckUpgradePackage(ctx, ws)) return false;
  if (CZipArchive::CanAppendTo(ws.app.m_strInputDir + kTemplateName)) return true;
  ctx.Show(kMsgCreatePackageFailed);
  return false;
}

bool MakeUpgradePackage(RunServices& ctx, const Workspace& ws, const std::string& packagePath) {
  if (!CheckUpgradePackage(ctx, ws)) return false;
  const std::string templatePath = ws.app.m_strInputDir + kTemplateName;
  // 4, 5.
  if (!CopyFileReplace(templatePath, packagePath)) return FailPackage(ctx, packagePath, kMsgCreatePackageFailed);
  CZipArchive archive;
  if (!archive.OpenForAppend(packagePath)) return FailPackage(ctx, packagePath, kMsgCreatePackageFailed);
  // 6.
  for (const PackageEntry& entry : PackageEntries(ws)) {
    if (!archive.AddDiskFile(entry.diskPath, entry.name)) {
      (void)archive.Close();
      return FailPackage(ctx, packagePath, Format(kMsgAddToPackageFailed, entry.diskPath.c_str()));
    }
  }
  // 7. The central directory is written here; an archive that could not be
  // finished is not left behind as if it were one.
  if (!archive.Close()) return FailPackage(ctx, packagePath, kMsgCreatePackageFailed);
  return true;
}

std::vector<std::string> SignApkArguments(const AppMembers& app) {
  const std::string tempDir = app.TempDir();
  return {app.m_strAppDir + kJavaRelativePath,
          "-jar",
          "-Xms32m",
          "-Xmx" + std::to_string(app.m_nJavaMemory) + "m",
          app.m_strAppDir + kSignApkRelativePath,
          "-w",
          kAndroidCertName,
          kAndroidKeyName,
          tempDir + kPackageName,
          tempDir + kSignedPackageName};
}

void RunSignApk(RunServices& ctx, const AppMembers& app) {
  const std::string signedPath = app.TempDir() + kSignedPackageName;
  // The run judges Java by this file alone: an old one must not stand in for
  // it, and a link planted there must not lead Java's output elsewhere.
  (void)RemovePresent(signedPath);

  const std::vector<std::string> argv = SignApkArguments(app);
  if (!IsRegularFile(argv[0])) {
    ctx.Show(Format(kMsgJavaMissing, argv[0].c_str()));
    return;
  }
  if (!IsRegularFile(argv[4])) {
    ctx.Show(Format(kMsgSignApkJarMissing, argv[4].c_str()));
    return;
  }
  const char* limit = std::getenv(kJavaTimeoutEnv);
  const long long seconds = limit != nullptr ? LeadingInteger(limit) : 0;
  const int timeoutMs = (seconds > 0 && seconds <= 7 * 86400 ? static_cast<int>(seconds) : kDefaultJavaTimeoutSeconds) * 1000;
  const int status = RunProcess(argv, app.m_strInputDir, app.TempDir() + kSignApkLogName, timeoutMs);
  // signapk writes its output in place; after a failure (out of heap, bad
  // key, killed) whatever it left there is not a signed package.
  if (status != 0) (void)RemovePresent(signedPath);
}

bool JavaSignerPresent(const AppMembers& app) {
  return IsRegularFile(app.m_strAppDir + kJavaRelativePath) && IsRegularFile(app.m_strAppDir + kSignApkRelativePath);
}

namespace {

// The archive key in a token: a signer of its own, which finds the key by the
// certificate's public key (and shares the token's login when the run's
// signer uses the same token). Null after its message when it cannot be
// opened.
std::unique_ptr<Signer> OpenArchiveKeySigner(RunServices& ctx, const AppMembers& app) {
  static const KeyLines kNoKeyLines;
  std::string error;
  std::unique_ptr<Signer> signer = MakeSigner(app.m_archiveKey, kNoKeyLines, app.TempDir(), ctx.pinSource, error);
  SignError opened;
  if (signer && !signer->Open(opened)) error = opened.message;
  if (error.empty() && signer) return signer;
  ctx.Show(error);
  return nullptr;
}

}  // namespace

AndroidSigning SignPackageForAndroid(RunServices& ctx, const Workspace& ws) {
  const AppMembers& app = ws.app;
  const std::string tempDir = app.TempDir();
  const std::string signedPath = tempDir + kSignedPackageName;
  const auto signedByJava = [&] {
    RunSignApk(ctx, app);
    return IsRegularFile(signedPath) ? AndroidSigning::Signed : AndroidSigning::SignFailed;
  };
  if (app.m_archiveSigner == ArchiveSigner::Java) return signedByJava();

  // Nothing in Temp may pass for this run's package: not the signed one, not
  // one built for Java by an earlier run.
  (void)RemovePresent(signedPath);
  (void)RemovePresent(tempDir + kPackageName);
  std::vector<ApkAddedFile> files;
  for (const PackageEntry& entry : PackageEntries(ws)) files.push_back({entry.diskPath, entry.name});
  ApkSignOptions options;
  options.progress = [&ctx](uint64_t done, uint64_t total) { ctx.StepProgress(done, total); };
  options.parallelDeflate = app.m_archiveSigner == ArchiveSigner::NativeParallel;
  std::string keyPath = app.m_strInputDir + kAndroidKeyName;
  std::unique_ptr<Signer> tokenSigner;
  if (!app.m_archiveKey.empty()) {
    tokenSigner = OpenArchiveKeySigner(ctx, app);
    if (!tokenSigner) return AndroidSigning::SignFailed;
    keyPath = SignerTextForMessages(app.m_archiveKey);
    options.keySigner = [&tokenSigner](EVP_PKEY* certificateKey, bool sha256, const uint8_t* digest,
                                       std::vector<uint8_t>& signature, std::string& message) {
      SignError failure;
      if (tokenSigner->SignForPublicKey(certificateKey, sha256, digest, signature, failure)) return true;
      message = failure.message;
      return false;
    };
  }
  const ApkSignResult r = SignApkWithFiles(app.m_strInputDir + kAndroidCertName, keyPath,
                                           app.m_strInputDir + kTemplateName, files, signedPath, options);
  switch (r.status) {
    case ApkSignStatus::Signed:
      return AndroidSigning::Signed;
    case ApkSignStatus::FileUnreadable:
      ctx.Show(Format(kMsgAddToPackageFailed, r.file.c_str()));
      return AndroidSigning::PackageFailed;
    case ApkSignStatus::Refused:
      // Java reads the key from its file only.
      if (!JavaSignerPresent(app) || !app.m_archiveKey.empty()) break;
      // Java signs the package built the way it always was.
      ctx.Show(Format(kMsgArchiveJavaFallback, r.message.c_str()));
      if (!MakeUpgradePackage(ctx, ws, tempDir + kPackageName)) return AndroidSigning::PackageFailed;
      return signedByJava() == AndroidSigning::Signed ? AndroidSigning::SignedByJava : AndroidSigning::SignFailed;
    case ApkSignStatus::Failed:
      break;
  }
  ctx.Show(r.message);
  return AndroidSigning::SignFailed;
}

std::optional<FlashGeometry> PackageGeometry(const tagFlashData& flash) {
  FlashGeometry g;
  g.flashType = flash.strFlashType;
  g.pageSize = static_cast<uint32_t>(flash.nPageSize);
  g.blockSize = static_cast<uint32_t>(flash.nBlockSize);
  if (g.IsNand()) return g;  // the entry's own geometry
  if (EqualsNoCase(g.flashType, "Spi")) {
    g.pageSize = 1024;
    return g;
  }
  if (EqualsNoCase(g.flashType, "eMMC")) {
    g.pageSize = 1024;
    g.blockSize = 2048;
    return g;
  }
  return std::nullopt;
}

bool SignUpgradePackage(RunServices& ctx, const std::optional<FlashGeometry>& geometry, const Key128& key,
                        bool firstGeneration, const std::string& outputPath, const std::string& sourcePath) {
  if (!geometry) {
    ctx.Show(kMsgPackageFlashConfig);
    return false;
  }
  if (firstGeneration) return SealRawImage(ctx, *geometry, key, outputPath, sourcePath);
  return SignImageFile(ctx, outputPath, sourcePath);
}

}  // namespace tarnel
