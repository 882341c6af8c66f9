// tarnel-cli demo: a complete workspace for trying the tool.
#pragma once

#include <cstddef>
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

// The workspace that `tarnel-cli demo <folder>` creates: <folder>/input/ with
// the key list, the samples and two partition tables, and the empty output
// folders out-RA100/ and out-RA200/.
inline constexpr const char* kInputFolder = "input";
inline constexpr const char* kFirstGenTable = "PartConfig_RA100.xml";   // board 0, Qm5820RA100
inline constexpr const char* kLaterGenTable = "PartConfig_RA200.xml";   // board 2, Qm5820RA200
inline constexpr const char* kFirstGenOutput = "out-RA100";
inline constexpr const char* kLaterGenOutput = "out-RA200";
// Flash names of the sample Config/FlashConfig.xml the tables use.
inline constexpr const char* kFirstGenFlash = "NAND_128M_2K_ECC4";   // NAND, 2K pages, 128K blocks, ECC 4
inline constexpr const char* kLaterGenFlash = "EMMC_8G";             // eMMC
inline constexpr size_t kRawFileSize = 3u * 1024 * 1024;
inline constexpr size_t kLogoFileSize = 200u * 1024;

// Writes the workspace under `folder` (absolute) and prints the make commands;
// they name `homeDir` with --home unless it is empty. Returns the exit status.
[[nodiscard]] int RunDemo(const std::string& folder, const std::string& homeDir);

}  // namespace tarnel::demo
