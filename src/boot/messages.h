// Message texts of the key list and of boot image signing.
#pragma once

namespace tarnel {

// The key list and the key records.
inline constexpr const char* kMsgLoadKeyListFailed = "Failed to load the key list file!";
inline constexpr const char* kMsgInvalidKeyList = "Invalid key list file!";
inline constexpr const char* kMsgSourceNotFound = "Found not the source file!";
inline constexpr const char* kMsgOpenSourceFailed = "Failed to open the source file!";
inline constexpr const char* kMsgCreateDestinationFailed = "Failed to create the destination file!";
inline constexpr const char* kMsgInvalidRecordText = "Invaild source file context!";
// Details shown after the key list messages.
inline constexpr const char* kDetailKeyListLineMissing = "%s: line %zu is empty or missing; a key list has %zu lines";
inline constexpr const char* kDetailKeyListTooManyLines = "%s: more than %zu lines";
inline constexpr const char* kDetailKeyListTooLong = "%s: the 23 lines of a key list fit in %zu bytes";
inline constexpr const char* kDetailKeyListNoMemory = "no memory for its text";

// Boot image signing.
inline constexpr const char* kMsgInvalidBootFile = "Invalid boot file!";
inline constexpr const char* kMsgBootFileTooLarge =
    "The boot file %s is too large: the boot image must stay below 4 GiB!";
inline constexpr const char* kMsgBootSizeTooLarge = "The boot size %llu is too large for a boot image!";
inline constexpr const char* kMsgReadBootKeyFailed = "Failed to read mpi file for boot sign!";
inline constexpr const char* kMsgOpenAreaFailed = "Failed to open source file!";
inline constexpr const char* kMsgOpenAreaForBootSignFailed = "Failed to open source file for boot sign!";
inline constexpr const char* kMsgBootSignFailed = "Failed to make the sign for boot area!";
inline constexpr const char* kMsgCreateBootSignatureFailed = "Failed to create the boot area sign file!";
inline constexpr const char* kMsgInvalidCfgBin = "Invalid config file \"cfg.bin\" for boot sign!";  // warning
inline constexpr const char* kMsgCreateParamAreaFailed =
    "Failed to create the param area file for boot sign!";  // warning
inline constexpr const char* kMsgParamAreaInvalid = "Fatal Error: The ParamArea file is invalid!";
inline constexpr const char* kMsgInvalidBootFileForSign = "Invalid boot file for boot sign!";
inline constexpr const char* kMsgCreateBootAreaFailed = "Failed to create boot area file for boot sign!";
inline constexpr const char* kMsgCreateBootSideFailed =
    "Failed to create boot area encrypt part file for boot sign!";
inline constexpr const char* kMsgReadBootFileFailed = "Failed to read data from the boot file!";
inline constexpr const char* kMsgBootFileInvalid = "The boot file is invalid!";
inline constexpr const char* kMsgInvalidKeyAreaFile = "Invalid key area file for boot sign!";
inline constexpr const char* kMsgInvalidKeyAreaSignFile = "Invalid key area sign file for boot sign!";
inline constexpr const char* kMsgInvalidParamAreaFile = "Invalid param area file for boot sign!";
inline constexpr const char* kMsgInvalidParamAreaSignFile = "Invalid param area sign file for boot sign!";
inline constexpr const char* kMsgInvalidBootAreaFile = "Invalid boot area file for boot sign!";
inline constexpr const char* kMsgInvalidBootAreaSignFile = "Invalid boot area sign file for boot sign!";
inline constexpr const char* kMsgInvalidUncheckedAreaFile = "Invalid uncheck area file!";
inline constexpr const char* kMsgCreateBootImageFailed = "Failed to create the boot sign file!";
inline constexpr const char* kMsgWriteBootImageFailed = "Failed to write the boot sign file %s!";

}  // namespace tarnel
