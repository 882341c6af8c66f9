// The upgrade archive: the template "META-INF.zip" plus the images of the
// rows marked for upgrade, signed as signapk signs it (natively, or by
// signapk under Java), then sealed for the board as "update.zip".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/secure.h"
#include "signing/flash_geometry.h"
#include "signing/run_services.h"

namespace tarnel {

inline constexpr const char* kTemplateName = "META-INF.zip";
inline constexpr const char* kJavaRelativePath = "jre/bin/java";
inline constexpr const char* kSignApkRelativePath = "Config/signapk.jar";
inline constexpr const char* kSignApkLogName = "signapk.log";
// Java is stopped (with everything it started) after this long; the
// variable sets another limit in seconds.
inline constexpr const char* kJavaTimeoutEnv = "TARNEL_JAVA_TIMEOUT";
inline constexpr int kDefaultJavaTimeoutSeconds = 3600;
inline constexpr const char* kAndroidCertName = "testkey.x509.pem";
inline constexpr const char* kAndroidKeyName = "testkey.pk8";
// The package in Temp, signapk's output beside it, and the sealed release package.
inline constexpr const char* kPackageName = "UpgradePackage.zip";
inline constexpr const char* kSignedPackageName = "UpgradePackage_AndroidSigned.bin";
inline constexpr const char* kReleasePackageName = "update.zip";

// Checks what every package needs: one Flash Name for all upgrade rows, its
// flash entry, the template. False after its message.
[[nodiscard]] bool CheckUpgradePackage(RunServices& ctx, const Workspace& ws);

// The native signers' first step, in place of building the package: the
// checks above, and a template the ZIP writer could append to (the same
// archives a package for Java can be built from). False after its message.
[[nodiscard]] bool CheckUpgradePackageTemplate(RunServices& ctx, const Workspace& ws);

// Builds the package Java signs at `packagePath` (after CheckUpgradePackage):
// copies the template there and appends the upgrade rows' images. False after
// its message; a package whose building failed is deleted.
[[nodiscard]] bool MakeUpgradePackage(RunServices& ctx, const Workspace& ws, const std::string& packagePath);

// The command line that has signapk sign the package in Temp into the
// Android-signed package in Temp (run in the input folder).
[[nodiscard]] std::vector<std::string> SignApkArguments(const AppMembers& app);

// Runs Java with signapk and waits for it. Success shows only as the
// Android-signed package in Temp: a package left by an earlier run is removed
// first, and whatever a failing Java leaves behind is removed afterwards.
void RunSignApk(RunServices& ctx, const AppMembers& app);

// True when the program folder has both Java and signapk.jar.
[[nodiscard]] bool JavaSignerPresent(const AppMembers& app);

enum class AndroidSigning {
  Signed,         // by the archive signer the run was given
  SignedByJava,   // the native signer refused the input; Java signed it (said once)
  PackageFailed,  // an image could not be added (its message shown)
  SignFailed,     // the archive signer failed (its message shown, or Java's log written)
};

// Writes the Android-signed package in Temp by the archive signer the run was
// given. Java signs the package MakeUpgradePackage built (RunSignApk). The
// native signers write it in one pass from the template and the upgrade rows'
// images, with progress moving with the bytes, and build no package in Temp;
// when the native signer refuses an input only Java can sign and Java is
// there, the run says so once, builds the package and has Java sign it.
// Success shows as the Android-signed package in Temp.
[[nodiscard]] AndroidSigning SignPackageForAndroid(RunServices& ctx, const Workspace& ws);

// The geometry the package is sealed with, from the upgrade rows' flash: a
// NAND entry as listed (no spare), 1024-byte pages on SPI, 1024-byte pages in
// 2048-byte blocks on eMMC; empty for any other flash type.
[[nodiscard]] std::optional<FlashGeometry> PackageGeometry(const tagFlashData& flash);

// Seals the Android-signed package for the board: the MAC container under
// `key` on the first generation, the RSA signature block on the later one.
// Without a geometry (flash missing or of another type) it fails with its
// message on either generation.
[[nodiscard]] bool SignUpgradePackage(RunServices& ctx, const std::optional<FlashGeometry>& geometry,
                                      const Key128& key, bool firstGeneration, const std::string& outputPath,
                                      const std::string& sourcePath);

}  // namespace tarnel
