// tarnel-cli demo: a complete workspace for trying the tool.
#pragma once

#include <string>

namespace tarnel::demo {

// Sample file names in the demo's input folder.
inline constexpr const char* kBootFile = "fastboot.bin";
inline constexpr const char* kCfgFile = "cfg.bin";
inline constexpr const char* kRawFile = "kernel.bin";
inline constexpr const char* kLogoFile = "logo.bin";
inline constexpr const char* kExt4SparseFile = "system.img";
inline constexpr const char* kUbiFile = "rootfs.ubi";
inline constexpr const char* kYaffsFile = "userdata.yaffs";
inline constexpr const char* kTemplateFile = "META-INF.zip";
inline constexpr const char* kTestKeyPk8 = "testkey.pk8";
inline constexpr const char* kTestKeyPem = "testkey.x509.pem";

// Each writes its samples into `inputDir` (ending with a separator); on
// failure returns false with a one-line reason in `error`.
[[nodiscard]] bool WriteBootSamples(const std::string& inputDir, std::string& error);      // boot file, cfg.bin
[[nodiscard]] bool WriteFsSamples(const std::string& inputDir, std::string& error);        // Ext4 sparse, UBI, Yaffs
[[nodiscard]] bool WritePackageSamples(const std::string& inputDir, std::string& error);   // META-INF.zip, test key pair

}  // namespace tarnel::demo
