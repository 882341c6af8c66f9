#include "common/program_folder.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "common/files.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/text.h"
#include "common/messages.h"

namespace tarnel {

namespace fs = std::filesystem;

namespace {

// True when something, even a dangling link, is there.
bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

// What a per-user link made from the template entry at `entry` should point
// at: the entry's own target (made absolute) when the entry is a link, the
// entry itself otherwise.
std::string LinkTargetFor(const std::string& entry) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(entry, ec);
  if (ec) return fs::path(entry).lexically_normal().string();
  if (target.is_absolute()) return target.string();
  return (fs::path(entry).parent_path() / target).lexically_normal().string();
}

// Fills the new folder `dir` (ending with a separator) from the template;
// returns an error text, empty on success.
std::string FillFromTemplate(const std::string& templateDir, const std::string& dir) {
  std::error_code ec;
  if (!fs::create_directory(dir + kConfigFolderName, ec))
    return ec ? ec.message() : std::string("cannot create ") + kConfigFolderName;
  for (const char* entry : {kFlashConfigEntry, kBurnConfigEntry}) {
    if (!CopyFileReplace(templateDir + entry, dir + entry)) return Format("cannot copy %s", entry);
  }
  for (const char* entry : {kSignapkEntry, kJreEntry}) {
    fs::create_symlink(LinkTargetFor(templateDir + entry), dir + entry, ec);
    if (ec) return Format("cannot link %s: %s", entry, ec.message().c_str());
  }
  return {};
}

ProgramFolderChoice Failed(std::string error) {
  ProgramFolderChoice choice;
  choice.error = std::move(error);
  return choice;
}

}  // namespace

std::string InstalledTemplateDir(const std::string& executableDir, const std::string& fromBinDir) {
  if (executableDir.empty()) return {};
  return WithTrailingSep((fs::path(executableDir) / fromBinDir).lexically_normal().string());
}

ProgramFolderChoice ChooseProgramFolder(const std::string& executableDir, const std::string& templateDir,
                                        const std::string& userDataDir) {
  ProgramFolderChoice choice;
  choice.folder = executableDir;
  if (executableDir.empty() || IsFolder(executableDir + kConfigFolderName)) return choice;
  if (templateDir.empty() || !IsFolder(templateDir + kConfigFolderName)) return choice;

  if (userDataDir.empty()) return Failed(kMsgNoUserDataFolder);
  const std::string perUser = userDataDir + kUserFolderName + std::string(kSepStr);
  choice.folder = perUser;
  // Whatever is there belongs to the user: a damaged folder is reported by
  // the start-up checks, never replaced.
  if (Exists(userDataDir + kUserFolderName)) return choice;

  for (const char* entry : {kFlashConfigEntry, kSignapkEntry, kJreEntry, kBurnConfigEntry}) {
    if (!Exists(templateDir + entry)) return Failed(Format(kMsgTemplateIncomplete, templateDir.c_str(), entry));
  }

  // Filled under a temporary name and renamed into place, so that a failed or
  // interrupted start never leaves a half-made program folder behind.
  std::error_code ec;
  fs::create_directories(userDataDir, ec);
  if (ec) return Failed(Format(kMsgCreateProgramFolderFailed, perUser.c_str(), ec.message().c_str()));
  const std::string temp = MakeTempFolder(userDataDir + "." + kUserFolderName + "-");
  if (temp.empty()) {
    const std::string reason = std::error_code(errno, std::generic_category()).message();
    return Failed(Format(kMsgCreateProgramFolderFailed, perUser.c_str(), reason.c_str()));
  }
  const std::string tempDir = WithTrailingSep(temp);
  std::string error = FillFromTemplate(templateDir, tempDir);
  if (error.empty()) {
    fs::rename(temp, userDataDir + kUserFolderName, ec);
    if (!ec) {
      choice.created = true;
      return choice;
    }
    error = ec.message();
  }
  fs::remove_all(temp, ec);
  // Another start may have made it in the meantime: that one is as good.
  if (IsFolder(perUser)) return choice;
  return Failed(Format(kMsgCreateProgramFolderFailed, perUser.c_str(), error.c_str()));
}

std::string OpenProgramFolder(const std::string& appDir, bool javaNeeded) {
  if (!IsFolder(appDir + kConfigFolderName)) return appDir + kConfigFolderName;
  if (javaNeeded && !IsFolder(appDir + kJreEntry)) return appDir + kJreEntry;
  // Already there or not creatable: a run reports what it cannot write.
  (void)MakeFolder(appDir + "Temp");
  (void)MakeFolder(appDir + "Output");
  return {};
}

}  // namespace tarnel
