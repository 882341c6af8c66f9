// What the commands of tarnel-cli share: exit statuses, the one prefix of the
// command line's own messages, board names, the program folder and the PIN
// prompt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnel::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

inline constexpr const char* kProgramName = "tarnel-cli";

// Prints "tarnel-cli: <text>" on standard error.
void UsageError(const std::string& text);

// A board index 0 to 5 or a board name (case ignored); -1 when it is neither.
[[nodiscard]] int32_t ParseBoard(const std::string& text);
// "0 Qm5820RA100, 1 Qm5820SB300, ..."
[[nodiscard]] std::string BoardList();
// The message for a --board value that is neither an index nor a name.
[[nodiscard]] std::string UnknownBoardMessage(const std::string& text);

// The program folder: the one --home names, else the executable's folder or,
// for an installed tool, the per-user one (made on first start). Empty, with
// the reason printed, when none can be set up.
[[nodiscard]] std::string ProgramFolder(const std::string& home);

// The PIN of a token, asked on the terminal without echo. The progress line,
// if one is shown, is cleared first.
[[nodiscard]] std::optional<std::string> AskPinOnTerminal(const std::string& tokenLabel);

}  // namespace tarnel::cli

namespace tarnel::cli {

// The short usage line of a command ("usage: tarnel-cli make --board
// <board> ... [<options>]"), as main.cpp registered it.
void SetCommandUsage(const std::string& command, const std::string& usage);
// A usage error of `command`: "tarnel-cli: <command>: <text>", then the
// command's usage line and where its help is. Returns kExitUsage.
int CommandUsageError(const std::string& command, const std::string& text);

// The candidate closest to a mistyped `word` (edit distance at most 2, or a
// candidate that starts with it); empty when none is close.
[[nodiscard]] std::string ClosestMatch(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace tarnel::cli

namespace tarnel::cli {

// --progress=auto|always|never and -q/--quiet, taken by every command.
enum class ProgressMode { Auto, Always, Never };
struct OutputControl {
  ProgressMode progress = ProgressMode::Auto;
  bool quiet = false;  // only errors
};
[[nodiscard]] OutputControl& Output();
// Whether the in-place progress line is drawn on standard error: always,
// never, or (auto) on a terminal whose TERM is not "dumb".
[[nodiscard]] bool ProgressLineWanted();

}  // namespace tarnel::cli
