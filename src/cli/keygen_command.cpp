// tarnel-cli keygen: a new 23-line key list, with its keys made here or
// inside a PKCS#11 token.
#include <cstdio>
#include <memory>
#include <string>

#include "boot/key_gen.h"
#include "cli/cli_common.h"
#include "cli/command.h"
#include "cli/messages.h"
#include "common/files.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/secure.h"
#include "common/text.h"
#include "signing/signer.h"
#include "signing/messages.h"

namespace tarnel::cli {
namespace {

struct KeygenOptions {
  std::string file;
  bool force = false;
  std::string signer;
};

// keygen into a token: the key pairs are made inside it, the key list gets
// their public lines.
int RunTokenKeygen(const std::string& path, bool force, const std::string& signer) {
  if (!force && GetPathKind(path) != PathKind::Missing) {
    UsageError(Format(kMsgFileExists, path.c_str()));
    return kExitFailed;
  }
  std::string text;
  std::string error;
  if (!GenerateTokenKeyList(signer, AskPinOnTerminal, text, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return kExitFailed;
  }
  OutFile out;
  const bool ok = out.Create(path, /*ownerOnly=*/true) && out.Write(text.data(), text.size()) && out.Commit();
  Cleanse(text);
  if (!ok) {
    UsageError(Format(kMsgWriteFailed, path.c_str()));
    return kExitFailed;
  }
  if (!Output().quiet)
    std::printf("Generated the keys %s and %s in the token; wrote their key list to %s.\n", kTokenExternalLabel,
              kTokenRootLabel, path.c_str());
  return kExitOk;
}

int RunKeygenCommand(const KeygenOptions& options) {
  const std::string path = AbsolutePath(options.file);
  const std::string signer = NormalizeSignerText(options.signer);
  if (!signer.empty() && signer != kSignerKeyList) {
    if (signer.rfind(kSignerPkcs11Scheme, 0) != 0) {
      UsageError(kMsgKeygenSignerNotToken);
      return kExitUsage;
    }
    if (SignerCarriesPinValue(signer)) {
      UsageError(kMsgPinValueOnCommandLine);
      return kExitUsage;
    }
    return RunTokenKeygen(path, options.force, signer);
  }
  switch (WriteNewKeyList(path, options.force)) {
    case KeyListWrite::Ok:
      if (!Output().quiet) std::printf("Wrote a new key list to %s (readable by its owner only).\n", path.c_str());
      return kExitOk;
    case KeyListWrite::Exists:
      UsageError(Format(kMsgFileExists, path.c_str()));
      return kExitFailed;
    case KeyListWrite::GenerateFailed:
      UsageError(kMsgKeygenFailed);
      return kExitFailed;
    case KeyListWrite::WriteFailed:
      UsageError(Format(kMsgWriteFailed, path.c_str()));
      return kExitFailed;
  }
  return kExitFailed;
}

}  // namespace

Command AddKeygenCommand(CLI::App& cli) {
  auto o = std::make_shared<KeygenOptions>();
  CLI::App* sub = cli.add_subcommand("keygen", "Write a new key list file.");
  sub->add_option("file", o->file, "Key list file to write")->required();
  sub->add_flag("--force", o->force, "Replace an existing file");
  sub->add_option("--signer", o->signer, "pkcs11:<URI>: generate the two RSA keys inside that token");
  return {sub, [o] { return RunKeygenCommand(*o); }};
}

}  // namespace tarnel::cli
