// Messages of the window's own (the run's messages live in their modules).
#pragma once

namespace tarnel::app {

// Added to the missing-folder message when the program folder is the installed program's per-user folder.
inline constexpr const char* kMsgRepairUserFolder =
    "\n\nThe per-user program folder %s is incomplete. Rename or remove it and start the program again: it is "
    "made afresh from the installed program.";
// A close request while Make runs: the window closes once the run has ended.
inline constexpr const char* kMsgCloseWhileMaking =
    "Make is still running.\nClose the window as soon as the run has ended?";
inline constexpr const char* kMsgSaveTableFailed = "Failed to write the partition config file %s!";

}  // namespace tarnel::app
