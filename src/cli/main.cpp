// tarnel-cli: the command line beside the desktop program.
//
//   tarnel-cli make --board <0-5|board name> --config <partition table> --keys <key list>
//                   (--output <folder> | --default-output) [--home <program folder>]
//                   [--signer keylist|pkcs11:<URI>|exec:<program>]
//   tarnel-cli keygen <key list file> [--force] [--signer pkcs11:<URI>]
//   tarnel-cli keylist import --external <pem|pk8> --root <pem|pk8> [--aes-v1 .. | --aes-random] -o <key list>
//   tarnel-cli keylist export-public [--role external|root] <key list>
//   tarnel-cli keylist check <key list>
//   tarnel-cli demo <folder> [--home <program folder>]
//   tarnel-cli verify --keys <key list> [--board <b>] [--android-cert <pem>] [--json] <file>...
//   tarnel-cli info [--board <b>] [--json] <file>...
//   tarnel-cli signapk -w <cert.x509.pem> <key.pk8> <input.zip> <output.zip>
//   tarnel-cli help [<command>]
//   tarnel-cli version | --version
//
// `make --verify` reads every output back and verifies it before the
// success message; `make --report <file.json>` records the run.
//
// Each command lives in its own source file (cli/*_command.cpp) and adds
// itself through one function listed in kCommands; a command may be made of
// commands of its own (keylist import, ...).
//
// A usage error names the mistake, suggests the closest command or option,
// and prints the short usage line and where the help is, never the whole
// help; it exits with 2.
#include <CLI/CLI.hpp>
#include <cstdio>
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
    AddMakeCommand, AddKeygenCommand, AddKeylistCommand, AddDemoCommand, AddVerifyCommand, AddInfoCommand, AddSignApkCommand,
};

constexpr const char* kTopUsage = "usage: tarnel-cli <command> [<options>]";

// The names of a command's own commands ("keylist import", ...).
std::vector<std::string> NestedNames(const CLI::App& sub) {
  std::vector<std::string> names;
  for (const CLI::App* nested : sub.get_subcommands({})) names.push_back(nested->get_name());
  return names;
}

// "usage: tarnel-cli make --board <board> --config <config> --keys <keys> [<options>]":
// the required options, then the positionals; a command made of commands
// lists them ("usage: tarnel-cli keylist (import | export-public | check) ...").
std::string ShortUsage(const CLI::App& sub, const std::string& fullName) {
  std::string line = std::string("usage: ") + kProgramName + " " + fullName;
  if (const std::vector<std::string> nested = NestedNames(sub); !nested.empty()) {
    line += " (";
    for (size_t i = 0; i < nested.size(); ++i) line += (i ? " | " : "") + nested[i];
    return line + ") ...";
  }
  bool optional = false;
  std::string positionals;
  for (const CLI::Option* opt : sub.get_options()) {
    if (opt == sub.get_help_ptr()) continue;
    if (opt->get_positional()) {
      std::string name = "<" + opt->get_name() + ">";
      if (opt->get_items_expected_max() > 1) name += "...";
      positionals += " " + (opt->get_required() ? name : "[" + name + "]");
      continue;
    }
    if (opt->get_required()) {
      const std::string name = opt->get_lnames().empty() ? opt->get_snames().front() : opt->get_lnames().front();
      line += (opt->get_lnames().empty() ? " -" : " --") + name + (opt->get_type_size() > 0 ? " <" + name + ">" : "");
    } else {
      optional = true;
    }
  }
  if (optional) line += " [<options>]";
  return line + positionals;
}

int TopUsageError(const std::string& text) {
  UsageError(text);
  std::fprintf(stderr, "%s\nsee %s --help\n", kTopUsage, kProgramName);
  return kExitUsage;
}

std::string DidYouMean(const std::string& word, const std::vector<std::string>& candidates) {
  const std::string best = ClosestMatch(word, candidates);
  return best.empty() ? std::string() : " Did you mean '" + best + "'?";
}

// Every name an option of `sub` answers to, with its dashes.
std::vector<std::string> OptionNames(const CLI::App& sub) {
  std::vector<std::string> names;
  for (const CLI::Option* opt : sub.get_options()) {
    for (const std::string& l : opt->get_lnames()) names.push_back("--" + l);
    for (const std::string& s : opt->get_snames()) names.push_back("-" + s);
  }
  return names;
}

// The first argument after the command that looks like an option and that
// the command does not have; empty when there is none.
std::string UnknownOption(const CLI::App& top, const CLI::App& sub, int argc, char** argv, int from) {
  for (int i = from; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-') continue;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) arg.resize(eq);
    if (arg.rfind("--", 0) != 0) arg.resize(2);  // -bVALUE
    if (sub.get_option_no_throw(arg) == nullptr && top.get_option_no_throw(arg) == nullptr) return arg;
  }
  return {};
}

int Main(int argc, char** argv) {
  CLI::App cli{"Tarnel: signs the partition images of a firmware for the boards' secure boot.", kProgramName};
  cli.require_subcommand(1);
  const std::string version = std::string(kProgramName) + " " + kVersion;
  cli.set_version_flag("--version", version, "Print the version and exit");

  std::string progress = "auto";
  cli.add_option("--progress", progress, "Progress line on standard error: auto (on a terminal, not TERM=dumb), "
                                         "always or never")
      ->check(CLI::IsMember({"auto", "always", "never"}));
  cli.add_flag("-q,--quiet", Output().quiet, "Print only errors");

  std::vector<Command> commands;
  for (const AddCommandFn add : kCommands) commands.push_back(add(cli));
  std::vector<std::string> helpTopic;
  CLI::App* helpCmd = cli.add_subcommand("help", "Print the help of tarnel-cli or of one command.");
  helpCmd->add_option("command", helpTopic, "Command to describe (keylist import: two words)")->expected(0, 2);
  CLI::App* versionCmd = cli.add_subcommand("version", "Print the version.");

  std::vector<std::string> commandNames;
  // --progress and --quiet are taken after any command too.
  for (CLI::App* sub : cli.get_subcommands({})) sub->fallthrough();
  for (const CLI::App* sub : cli.get_subcommands({})) {
    commandNames.push_back(sub->get_name());
    SetCommandUsage(sub->get_name(), ShortUsage(*sub, sub->get_name()));
    for (const CLI::App* nested : sub->get_subcommands({})) {
      const std::string name = sub->get_name() + " " + nested->get_name();
      SetCommandUsage(name, ShortUsage(*nested, name));
    }
  }
  const auto findIn = [](CLI::App& parent, const std::string& name) -> CLI::App* {
    for (CLI::App* sub : parent.get_subcommands({}))
      if (sub->get_name() == name) return sub;
    return nullptr;
  };
  const auto findCommand = [&](const std::string& name) { return findIn(cli, name); };

  // Taken before parsing: once a command is parsed, the help is the command's.
  const std::string topHelp = cli.help();

  // The command word: missing, mistyped, or an option tarnel-cli lacks.
  // Options of tarnel-cli itself may come before the command.
  int at = 1;
  while (at < argc && argv[at][0] == '-' && argv[at][1] != '\0') {
    std::string arg = argv[at];
    if (arg == "-h" || arg == "--help" || arg == "--version") break;
    if (const size_t eq = arg.find('='); eq != std::string::npos) arg.resize(eq);
    if (cli.get_option_no_throw(arg) == nullptr)
      return TopUsageError("unknown option '" + arg + "'." + DidYouMean(arg, OptionNames(cli)));
    at += (arg == "--progress" && std::string(argv[at]).find('=') == std::string::npos) ? 2 : 1;
  }
  if (at >= argc) return TopUsageError("give a command");
  const std::string first = argv[at];
  CLI::App* sub = nullptr;
  if (first.size() > 1 && first[0] == '-') {
    if (first != "-h" && first != "--help" && first != "--version")
      return TopUsageError("unknown option '" + first + "'." + DidYouMean(first, OptionNames(cli)));
  } else {
    sub = findCommand(first);
    if (sub == nullptr) return TopUsageError("'" + first + "' is not a command." + DidYouMean(first, commandNames));
    std::string name = first;
    // A command made of commands: the next word names one of them.
    if (const std::vector<std::string> nested = NestedNames(*sub); !nested.empty()) {
      int word = at + 1;
      bool help = false;
      for (; word < argc && argv[word][0] == '-'; ++word)
        help = help || std::string(argv[word]) == "-h" || std::string(argv[word]) == "--help";
      if (word < argc) {
        CLI::App* inner = findIn(*sub, argv[word]);
        if (inner == nullptr)
          return CommandUsageError(name, "'" + std::string(argv[word]) + "' is not a " + name + " command." +
                                             DidYouMean(argv[word], nested));
        name += " " + inner->get_name();
        sub = inner;
        at = word;
      } else if (!help) {
        std::string list;
        for (size_t i = 0; i < nested.size(); ++i)
          list += (i == 0 ? "" : i + 1 == nested.size() ? " or " : ", ") + nested[i];
        return CommandUsageError(name, "give a command: " + list);
      }
    }
    if (const std::string unknown = UnknownOption(cli, *sub, argc, argv, at + 1); !unknown.empty())
      return CommandUsageError(name, "unknown option '" + unknown + "'." + DidYouMean(unknown, OptionNames(*sub)));
  }

  try {
    cli.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return cli.exit(e) == 0 ? kExitOk : kExitUsage;
  } catch (const CLI::CallForVersion& e) {
    return cli.exit(e) == 0 ? kExitOk : kExitUsage;
  } catch (const CLI::ParseError& e) {
    if (sub == nullptr) return TopUsageError(e.what());
    const CLI::App* parent = sub->get_parent();
    return CommandUsageError(parent != nullptr && parent != &cli ? parent->get_name() + " " + sub->get_name()
                                                                  : sub->get_name(),
                             e.what());
  }

  Output().progress = progress == "always" ? ProgressMode::Always
                      : progress == "never" ? ProgressMode::Never
                                            : ProgressMode::Auto;
  if (helpCmd->parsed()) {
    if (helpTopic.empty()) {
      std::fputs(topHelp.c_str(), stdout);
      return kExitOk;
    }
    CLI::App* topic = findCommand(helpTopic[0]);
    if (topic == nullptr)
      return TopUsageError("'" + helpTopic[0] + "' is not a command." + DidYouMean(helpTopic[0], commandNames));
    if (helpTopic.size() > 1) {
      CLI::App* inner = findIn(*topic, helpTopic[1]);
      if (inner == nullptr)
        return TopUsageError("'" + helpTopic[1] + "' is not a " + helpTopic[0] + " command." +
                             DidYouMean(helpTopic[1], NestedNames(*topic)));
      std::fputs(inner->help(std::string(kProgramName) + " " + topic->get_name()).c_str(), stdout);
      return kExitOk;
    }
    std::fputs(topic->help(kProgramName).c_str(), stdout);
    return kExitOk;
  }
  if (versionCmd->parsed()) {
    std::printf("%s\n", version.c_str());
    return kExitOk;
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
