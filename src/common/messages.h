// Message texts of the program folder and the per-user folder.
#pragma once

namespace tarnel {

// The program folder.
inline constexpr const char* kMsgNoUserDataFolder =
    "Cannot tell the per-user program folder: neither XDG_DATA_HOME nor HOME is set!";
inline constexpr const char* kMsgTemplateIncomplete = "The installed program folder %s lacks %s!";
inline constexpr const char* kMsgCreateProgramFolderFailed = "Failed to create the program folder %s: %s!";
// A folder the program folder must hold is missing.
inline constexpr const char* kMsgFolderNotFound = "\"%s\" not find!";

}  // namespace tarnel
