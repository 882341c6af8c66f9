#include "cli/cli_common.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <map>

#include "cli/messages.h"
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
  return Format(kMsgBoardUnknown, text.c_str(), BoardList().c_str());
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
  return ReadSecretFromTerminal(Format(kMsgPinPrompt, tokenLabel.c_str()));
}

}  // namespace tarnel::cli

namespace tarnel::cli {

namespace {

std::map<std::string, std::string>& Usages() {
  static std::map<std::string, std::string> usages;
  return usages;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      const size_t cost = EqualsNoCase(a.substr(i - 1, 1), b.substr(j - 1, 1)) ? 0 : 1;
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
      diagonal = up;
    }
  }
  return row[b.size()];
}

}  // namespace

void SetCommandUsage(const std::string& command, const std::string& usage) { Usages()[command] = usage; }

int CommandUsageError(const std::string& command, const std::string& text) {
  UsageError(command + ": " + text);
  const auto it = Usages().find(command);
  if (it != Usages().end()) std::fprintf(stderr, "%s\n", it->second.c_str());
  std::fprintf(stderr, "see %s %s --help\n", kProgramName, command.c_str());
  return kExitUsage;
}

std::string ClosestMatch(const std::string& word, const std::vector<std::string>& candidates) {
  std::string best;
  size_t bestDistance = 3;
  for (const std::string& candidate : candidates) {
    const size_t distance = EditDistance(word, candidate);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = candidate;
    }
  }
  if (!best.empty() || word.size() < 2) return best;
  for (const std::string& candidate : candidates)
    if (candidate.size() > word.size() && candidate.compare(0, word.size(), word) == 0) return candidate;
  return best;
}

}  // namespace tarnel::cli

namespace tarnel::cli {

OutputControl& Output() {
  static OutputControl control;
  return control;
}

bool ProgressLineWanted() {
  switch (Output().progress) {
    case ProgressMode::Always: return true;
    case ProgressMode::Never: return false;
    case ProgressMode::Auto: break;
  }
  if (Output().quiet || ::isatty(STDERR_FILENO) != 1) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::string(term) != "dumb";
}

}  // namespace tarnel::cli
