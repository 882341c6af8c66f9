// The checks that open every Make run: chosen paths, complete rows, one input
// folder, and the output names (the step count is the run plan's).
#pragma once

#include "common/model.h"
#include "common/reporter.h"

namespace tarnel {

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

inline constexpr const char* kOutputNameChars =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_ ";
inline constexpr size_t kMaxOutputPathLength = 200;

[[nodiscard]] bool CheckMakeInputs(RunReporter& reporter, Workspace& ws);
[[nodiscard]] bool CheckOutputNames(RunReporter& reporter, const Workspace& ws);

}  // namespace tarnel
