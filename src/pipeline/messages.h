// Messages of the Make run's guards: outputs that would replace inputs or
// each other, the locks on the program and output folders, and the read-back.
#pragma once

namespace tarnel {

inline constexpr const char* kMsgOutputIsInput = "The output %s would replace the input %s of this run!";
inline constexpr const char* kMsgOutputsCollide = "The outputs %s and %s of this run are the same file!";
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

}  // namespace tarnel
