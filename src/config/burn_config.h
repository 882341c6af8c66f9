// BurnConfig.ini in the program folder: section "BurnConfig", key "Memory",
// the Java heap in megabytes for signapk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/model.h"

namespace tarnel {

inline constexpr const char* kBurnConfigName = "BurnConfig.ini";
// Section "Signing" and its keys.
inline constexpr const char* kSigningSection = "Signing";
inline constexpr const char* kSignerKey = "Signer";
inline constexpr const char* kArchiveKey = "Archive";
inline constexpr const char* kArchiveKeyKey = "ArchiveKey";
inline constexpr const char* kHeaderPathsKey = "HeaderPaths";

// 1 when the file, the section or the key is missing.
[[nodiscard]] int32_t ReadJavaMemory(const std::string& appDir);

// The text of a key of section "Signing" as it stands; nothing when the
// file, the section or the key is missing.
[[nodiscard]] std::optional<std::string> ReadSigningSetting(const std::string& appDir, std::string_view key);

// Section "Signing", key "Signer": the signer of a Make run (keylist,
// pkcs11:<URI>, exec:<program>); empty when not set.
[[nodiscard]] std::string ReadSignerSetting(const std::string& appDir);

// Section "Signing", key "Archive": native (the default), java or
// native-parallel. A value that names none of them reads as the default.
[[nodiscard]] ArchiveSigner ReadArchiveSignerSetting(const std::string& appDir);
// Section "Signing", key "ArchiveKey": the upgrade archive's key in a token
// (pkcs11:<URI>); empty when not set (testkey.pk8 in the input folder).
[[nodiscard]] std::string ReadArchiveKeySetting(const std::string& appDir);
// "native", "java" or "native-parallel" (case ignored); nothing otherwise.
[[nodiscard]] std::optional<ArchiveSigner> ParseArchiveSigner(std::string_view text);
// The name ParseArchiveSigner reads: "native", "java" or "native-parallel".
[[nodiscard]] const char* ArchiveSignerName(ArchiveSigner signer);

// Section "Signing", key "HeaderPaths": full (the default) or name. A value
// that names neither reads as the default.
[[nodiscard]] HeaderPaths ReadHeaderPathsSetting(const std::string& appDir);
// "full" or "name" (case ignored); nothing otherwise.
[[nodiscard]] std::optional<HeaderPaths> ParseHeaderPaths(std::string_view text);

}  // namespace tarnel
