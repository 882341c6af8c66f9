// Which folder is the program folder (Config/, jre, BurnConfig.ini, Temp/,
// Output/), for a build folder or an unpacked copy and for an installed tool.
//
//   - The executable's folder when it holds Config/: a build folder, an
//     unpacked copy. Nothing is created or changed.
//   - Otherwise, when the installed template exists (share/tarnel/ beside the
//     bin/ folder, holding Config/), the per-user folder
//     $XDG_DATA_HOME/tarnel/ (default ~/.local/share/tarnel/). It is made on
//     first start from the template: Config/FlashConfig.xml and
//     BurnConfig.ini copied (the user edits them), Config/signapk.jar and jre
//     linked to what the template's entries point at. An existing per-user
//     folder is used as it is, never overwritten or repaired; what it lacks is
//     reported by the usual start-up checks.
//   - Otherwise the executable's folder, whose missing Config/ the start-up
//     checks report.
#pragma once

#include <string>

namespace tarnel {

inline constexpr const char* kUserFolderName = "tarnel";
// Entries of a program folder that the template provides.
inline constexpr const char* kConfigFolderName = "Config";
inline constexpr const char* kFlashConfigEntry = "Config/FlashConfig.xml";
inline constexpr const char* kSignapkEntry = "Config/signapk.jar";
inline constexpr const char* kJreEntry = "jre";
inline constexpr const char* kBurnConfigEntry = "BurnConfig.ini";

struct ProgramFolderChoice {
  std::string folder;  // ends with a separator; empty together with `error`
  std::string error;   // why no program folder could be set up
  bool created = false;  // the per-user folder was made by this call
};

// `executableDir` and `templateDir` end with a separator (either may be empty);
// `userDataDir` is the per-user data folder ($XDG_DATA_HOME), ending with a
// separator, or empty when it cannot be told.
[[nodiscard]] ProgramFolderChoice ChooseProgramFolder(const std::string& executableDir,
                                                      const std::string& templateDir,
                                                      const std::string& userDataDir);

// Opens the program folder `appDir` (ending with a separator) as the window
// and `make` do before anything else: Config/ must be there, and jre/ when
// Java signs the upgrade archives; Temp/ and Output/ are made when missing
// (one that cannot be made is reported by the run that writes there).
// Returns the first folder that is missing, empty when none is.
[[nodiscard]] std::string OpenProgramFolder(const std::string& appDir, bool javaNeeded);

// The installed template's folder: `fromBinDir` (relative to the executable's
// folder, ending with a separator) resolved and normalised; empty when
// `executableDir` is.
[[nodiscard]] std::string InstalledTemplateDir(const std::string& executableDir, const std::string& fromBinDir);

}  // namespace tarnel
