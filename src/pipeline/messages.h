// Messages of the Make run's guards: outputs that would replace inputs or
// each other, the locks on the program and output folders, and the read-back.
#pragma once

namespace tarnel {

inline constexpr const char* kMsgOutputIsInput = "The output %s would replace the input %s of this run!";
inline constexpr const char* kMsgOutputsCollide = "The outputs %s and %s of this run are the same file!";
// The program folder's Temp holds every run's intermediates.
inline constexpr const char* kMsgInputInTempFolder =
    "The input %s is in the program's Temp folder %s, where every run writes its intermediates; choose another source "
    "folder!";
inline constexpr const char* kMsgLockFailed = "Failed to lock %s: %s!";
// make --verify: shown instead of the success message when an output does not read back.
inline constexpr const char* kMsgReadBackFailed = "Read-back check failed for %s: %s";
inline constexpr const char* kMsgReadBackKeys = "Read-back check cannot start: %s";
// The upgrade archive's key in a token ([Signing] ArchiveKey, --archive-key).
inline constexpr const char* kMsgArchiveKeyNotToken =
    "The archive key \"%s\" is not a PKCS#11 token: give pkcs11:<URI>, or leave it empty for testkey.pk8!";
inline constexpr const char* kMsgArchiveKeyNeedsNative =
    "The archive key in a token needs the native archive signer: Java reads testkey.pk8 only!";
// The name of the step that waits for the Java run of signapk.
inline constexpr const char* kStepWaitingForJava = "Waiting for Java";

// The row checks before a run.
inline constexpr const char* kMsgSelectKeysFile = "Please select the keys file!";
inline constexpr const char* kMsgSelectOutputPath = "Please select the output path!";
inline constexpr const char* kMsgInputOutputName = "Please input the Output Name in the Row %d!";
inline constexpr const char* kMsgSelectFileType = "Please select the File Type in the Row %d!";
inline constexpr const char* kMsgSelectFlashName = "Please select the Flash Name in the Row %d!";
inline constexpr const char* kMsgSelectUpgrade = "Please select the Upgrade item in the Row %d!";
inline constexpr const char* kMsgSelectUnsignedFile = "Please select the Unsigned File in the Row %d!";
inline constexpr const char* kMsgSameInputFolder = "Please ensure all files in the same input folder!";
inline constexpr const char* kMsgOutputNameTooLong = "The length of Output Name is too long in the Line %d!";
inline constexpr const char* kMsgInvalidOutputName = "Invalid Output Name in the Line %d!";
inline constexpr const char* kMsgOutputNameRepeated = "Output Name %s is repeated !";

// The Make run and its closing messages.
inline constexpr const char* kMsgTestkeyPk8Missing = "testkey.pk8 is not exist!";
inline constexpr const char* kMsgTestkeyPemMissing = "testkey.x509.pem is not exist!";
inline constexpr const char* kMsgNoValidItem = "Found not valid partition item!";
inline constexpr const char* kMsgFlashConfigInLine = "Failed to get the flash config in the Line %d!";
inline constexpr const char* kMsgCfgBinMissing = "cfg.bin is not exist!";
inline constexpr const char* kMsgBootFailed = "Failed to sign boot part in the Line %d!";
inline constexpr const char* kMsgNonFsFailed = "Failed to sign Non-File System part in the Line %d!";
inline constexpr const char* kMsgYaffsFailed = "Failed to sign Yaffs File System part in the Line %d!";
inline constexpr const char* kMsgUbiFailed = "Failed to sign Ubi File System part in the Line %d!";
inline constexpr const char* kMsgExt4Failed = "Failed to sign ext4 File System part in the Line %d!";
inline constexpr const char* kMsgAllSigned = "All files signed successfully!";
inline constexpr const char* kMsgMakePackageFailed = "Failed to make upgrade package!";
inline constexpr const char* kMsgSignApkFailed = "Failed to sign package for android!,please config Memory!";
inline constexpr const char* kMsgSignPackageFailed = "Failed to sign package for CA!";
inline constexpr const char* kMsgPackageDone = "Generate release package successfully!";
// One run per program folder at a time.
inline constexpr const char* kMsgRunInProgress = "Another Make run is using the folder %s; wait for it to end!";
inline constexpr const char* kMsgTempFolderMissing = "Failed to create the folder %s!";

// The key partition.
inline constexpr const char* kMsgCreateTempKeyPartFailed = "Failed to create temp key part!";
inline constexpr const char* kMsgEncryptKeyPartFailed = "Failed to encrypt key part!";
inline constexpr const char* kMsgSignKeyPartitionFailed = "Failed to sign key partition!";

}  // namespace tarnel
