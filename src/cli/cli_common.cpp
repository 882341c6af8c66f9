#include "cli/cli_common.h"

#include <cstdio>

#include "common/model.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/program_folder.h"
#include "common/secure.h"
#include "common/text.h"
#include "build_info.h"

namespace tarnel::cli {

void UsageError(const std::string& text) { std::fprintf(stderr, "%s: %s\n", kProgramName, text.c_str()); }

int32_t ParseBoard(const std::string& text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '5') return text[0] - '0';
  for (size_t i = 0; i < kBoardTypeNames.size(); ++i)
    if (EqualsNoCase(text, kBoardTypeNames[i])) return static_cast<int32_t>(i);
  return -1;
}

std::string BoardList() {
  std::string out;
  for (size_t i = 0; i < kBoardTypeNames.size(); ++i)
    out += Format("%s%zu %.*s", i ? ", " : "", i, static_cast<int>(kBoardTypeNames[i].size()),
                  kBoardTypeNames[i].data());
  return out;
}

std::string UnknownBoardMessage(const std::string& text) {
  return Format("unknown board type \"%s\"; give 0 to 5 or a name: %s", text.c_str(), BoardList().c_str());
}

std::string ProgramFolder(const std::string& home) {
  if (!home.empty()) return WithTrailingSep(AbsolutePath(home));
  const std::string exeDir = ExecutableDir();
  const ProgramFolderChoice choice =
      ChooseProgramFolder(exeDir, InstalledTemplateDir(exeDir, kTemplateFromBinDir), UserDataDir());
  if (!choice.error.empty()) std::fprintf(stderr, "%s\n", choice.error.c_str());
  return choice.folder;
}

std::optional<std::string> AskPinOnTerminal(const std::string& tokenLabel) {
  return ReadSecretFromTerminal(Format("\r\033[KPIN for the token \"%s\": ", tokenLabel.c_str()));
}

}  // namespace tarnel::cli
