// tarnel-cli signapk -w <cert.x509.pem> <key.pk8> <input.zip> <output.zip>:
// signapk's whole-file mode with signapk's own argument order, without Java.
// Other modes and options of signapk are usage errors.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/command.h"
#include "cli/messages.h"
#include "common/platform.h"
#include "common/text.h"
#include "package/apk_signer.h"

namespace tarnel::cli {

Command AddSignApkCommand(CLI::App& cli) {
  struct SignApkOptions {
    bool wholeFile = false;
    std::vector<std::string> files;  // certificate, key, input, output
  };
  auto o = std::make_shared<SignApkOptions>();
  CLI::App* sub = cli.add_subcommand(
      "signapk", "Sign an update archive as `signapk.jar -w` does, byte for byte, without Java (whole-file mode only).");
  sub->add_flag("-w", o->wholeFile, "Whole-file signature (required: the only mode there is)");
  sub->add_option("files", o->files, "Certificate (X.509 PEM or DER), PKCS#8 key, input archive, output archive")
      ->expected(4)
      ->required();
  return {sub, [o] {
            if (!o->wholeFile || o->files.size() != 4) {
              UsageError(kMsgSignapkWholeFileOnly);
              return kExitUsage;
            }
            // The output never replaces what it is made from (signapk would
            // truncate it while reading it): the key above all.
            const PathIdentity output = IdentifyPath(o->files[3]);
            static constexpr const char* kRoles[] = {"certificate", "key", "input"};
            for (size_t i = 0; i < 3; ++i) {
              if (SameFile(output, IdentifyPath(o->files[i]))) {
                UsageError(Format(kMsgSignapkOutputIsInput, o->files[3].c_str(), kRoles[i], o->files[i].c_str()));
                return kExitUsage;
              }
            }
            const ApkSignResult r = SignApkWholeFile(o->files[0], o->files[1], o->files[2], o->files[3]);
            if (r.Ok()) return kExitOk;
            std::fprintf(stderr, "%s\n", r.message.c_str());
            return kExitFailed;
          }};
}

}  // namespace tarnel::cli
