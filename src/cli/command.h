// The commands of tarnel-cli. Each command lives in its own source file and
// adds itself to the command line with one Add...Command function; main.cpp
// lists them, parses, and runs the one that was given.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace tarnel::cli {

// A command as added to the command line: its sub-app (options, help) and
// what runs it once the command line has been parsed. `run` returns the exit
// status.
struct Command {
  CLI::App* app = nullptr;
  std::function<int()> run;
};

using AddCommandFn = Command (*)(CLI::App& cli);

[[nodiscard]] Command AddMakeCommand(CLI::App& cli);
[[nodiscard]] Command AddKeygenCommand(CLI::App& cli);
[[nodiscard]] Command AddKeylistCommand(CLI::App& cli);
[[nodiscard]] Command AddDemoCommand(CLI::App& cli);
[[nodiscard]] Command AddVerifyCommand(CLI::App& cli);
[[nodiscard]] Command AddInfoCommand(CLI::App& cli);
[[nodiscard]] Command AddSignApkCommand(CLI::App& cli);

}  // namespace tarnel::cli
