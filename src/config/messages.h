// Message texts of the configuration files: the partition table and the
// flash table.
#pragma once

namespace tarnel {

// The partition table.
inline constexpr const char* kMsgOpenPartitionConfigFailed = "Failed to open the partition config file!";
inline constexpr const char* kMsgReadPartitionConfigFailed = "Failed to read the partition config file!";
inline constexpr const char* kMsgInvalidPartitionConfig = "Invalid the partition config file!";
inline constexpr const char* kMsgOnly64Files = "Only allowed to add 64 files";
inline constexpr const char* kMsgRa200NoYaffs = "RA200 not support Yaffs File System ";
inline constexpr const char* kMsgRa100NoUbi = "RA100 not Support Ubi File System ";
inline constexpr const char* kMsgSb300NoUbi = "SB300 not Support Ubi File System ";
inline constexpr const char* kMsgSaveTableQuestion = "Save partition table changes to file?";

// The flash table.
inline constexpr const char* kMsgLoadFlashConfigFailed = "Failed to load the flash config file!";
inline constexpr const char* kMsgReadFlashConfigFailed = "Failed to read the flash config data!";

}  // namespace tarnel
