// tarnel-cli signapk -w <cert.x509.pem> <key.pk8> <input.zip> <output.zip>:
// signapk's whole-file mode, with signapk's own argument order.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tarnel::cli {

struct SignApkArgs {
  bool wholeFile = false;
  std::vector<std::string> files;  // certificate, key, input, output
};

// Adds the command to `cli`; the arguments land in `args`.
CLI::App* AddSignApkCommand(CLI::App& cli, SignApkArgs& args);
// 0 signed, 1 refused or failed (nothing written), 2 usage error.
[[nodiscard]] int RunSignApkCommand(const SignApkArgs& args);

}  // namespace tarnel::cli
