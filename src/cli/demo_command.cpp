// tarnel-cli demo: writes a workspace to try the tool on.
#include <memory>
#include <string>

#include "cli/cli_common.h"
#include "cli/command.h"
#include "cli/demo.h"
#include "common/platform.h"

namespace tarnel::cli {

Command AddDemoCommand(CLI::App& cli) {
  struct DemoOptions {
    std::string folder;
    std::string home;
  };
  auto o = std::make_shared<DemoOptions>();
  CLI::App* sub = cli.add_subcommand("demo", "Create a workspace with sample inputs to try the tool on.");
  sub->add_option("folder", o->folder, "Folder to create the workspace in")->required();
  sub->add_option("--home", o->home, "Program folder the printed commands use");
  return {sub, [o] {
            return demo::RunDemo(AbsolutePath(o->folder), o->home.empty() ? std::string() : ProgramFolder(o->home));
          }};
}

}  // namespace tarnel::cli
