#include "cli/signapk_command.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "package/apk_signer.h"

namespace tarnel::cli {

CLI::App* AddSignApkCommand(CLI::App& cli, SignApkArgs& args) {
  CLI::App* cmd = cli.add_subcommand(
      "signapk", "Sign an update archive as `signapk.jar -w` does, byte for byte, without Java (whole-file mode only).");
  cmd->add_flag("-w", args.wholeFile, "Whole-file signature (required: the only mode there is)");
  cmd->add_option("files", args.files, "Certificate (X.509 PEM or DER), PKCS#8 key, input archive, output archive")
      ->expected(4)
      ->required();
  return cmd;
}

int RunSignApkCommand(const SignApkArgs& args) {
  if (!args.wholeFile || args.files.size() != 4) {
    std::fprintf(stderr, "tarnel-cli signapk: only whole-file signing is supported: signapk -w <cert> <key> <input> <output>\n");
    return 2;
  }
  const ApkSignResult r = SignApkWholeFile(args.files[0], args.files[1], args.files[2], args.files[3]);
  if (r.Ok()) return 0;
  std::fprintf(stderr, "%s\n", r.message.c_str());
  return 1;
}

}  // namespace tarnel::cli
