// tarnel-cli: the command line beside the desktop program.
//
//   tarnel-cli make --board <0-5|board name> --config <partition table> --keys <key list>
//                   (--output <folder> | --default-output) [--home <program folder>]
//                   [--signer keylist|pkcs11:<URI>|exec:<program>]
//   tarnel-cli keygen <key list file> [--force] [--signer pkcs11:<URI>]
//   tarnel-cli demo <folder> [--home <program folder>]
//   tarnel-cli verify --keys <key list> [--board <b>] [--android-cert <pem>] [--json] <file>...
//   tarnel-cli info [--board <b>] [--json] <file>...
//   tarnel-cli signapk -w <cert.x509.pem> <key.pk8> <input.zip> <output.zip>
//   tarnel-cli --version
//
// `make --verify` reads every output back and verifies it before the
// success message; `make --report <file.json>` records the run.
//
// Each command lives in its own source file (cli/*_command.cpp) and adds
// itself through one function listed in kCommands.
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "build_info.h"
#include "cli/cli_common.h"
#include "cli/command.h"
#include "common/platform.h"

namespace tarnel::cli {
namespace {

// The commands in the order `--help` lists them.
constexpr AddCommandFn kCommands[] = {
    AddMakeCommand, AddKeygenCommand, AddDemoCommand, AddVerifyCommand, AddInfoCommand, AddSignApkCommand,
};

int Main(int argc, char** argv) {
  CLI::App cli{"Tarnel: signs the partition images of a firmware for the boards' secure boot.", kProgramName};
  cli.require_subcommand(1);
  cli.set_version_flag("--version", std::string(kProgramName) + " " + kVersion, "Print the version and exit");
  // A usage error shows what the commands are.
  cli.failure_message(CLI::FailureMessage::help);

  std::vector<Command> commands;
  for (const AddCommandFn add : kCommands) commands.push_back(add(cli));

  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = cli.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  for (const Command& command : commands)
    if (command.app->parsed()) return command.run();
  return kExitUsage;
}

}  // namespace
}  // namespace tarnel::cli

int main(int argc, char** argv) {
  // No core dump while keys are held; interrupted, nothing partial is left behind.
  tarnel::HardenProcess();
  return tarnel::cli::Main(argc, argv);
}
