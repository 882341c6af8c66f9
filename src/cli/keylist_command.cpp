// tarnel-cli keylist: key lists to and from standard key files.
//
//   keylist import --external <pem|pk8> --root <pem|pk8>
//                  [--aes-v1 HEX --aes-v2 HEX --aes-v3 HEX | --aes-random] -o <key list> [--force]
//   keylist export-public [--role external|root] <key list>
//   keylist check [--json] <key list>
//
// import writes a key list (owner-only, all or nothing, never over an
// existing file without --force) from two RSA-2048 private keys; without
// 128-bit keys it makes three fresh ones. export-public prints the public
// keys as PEM (external first), also of a key list whose private lines are
// placeholders. check says what the lines hold; it exits 1 when the key
// list cannot be used as it is.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "boot/key_files.h"
#include "boot/key_gen.h"
#include "boot/key_list.h"
#include "build_info.h"
#include "cli/cli_common.h"
#include "cli/command.h"
#include "cli/console_reporter.h"
#include "cli/messages.h"
#include "common/files.h"
#include "common/model.h"
#include "common/platform.h"
#include "common/secure.h"
#include "common/text.h"
#include "signing/signer.h"

namespace tarnel::cli {
namespace {

struct ImportOptions {
  std::string external;
  std::string root;
  std::string aes[3];  // V1, V2, V3
  bool aesRandom = false;
  std::string output;
  bool force = false;
};

struct ExportOptions {
  std::string role;
  std::string file;
};

struct CheckOptions {
  std::string file;
  bool json = false;
};

constexpr const char* kAesOptions[3] = {"--aes-v1", "--aes-v2", "--aes-v3"};

struct WipedAesKeys {
  KeyListAesKeys keys{};
  ~WipedAesKeys() { OPENSSL_cleanse(keys.data(), sizeof keys); }
};

std::optional<std::string> AskPassphrase(const std::string& path) {
  return ReadSecretFromTerminal(Format(kMsgKeyPassphrasePrompt, path.c_str()));
}

// The key of one role, or nothing with the reason printed.
PKey ReadKeyFile(const std::string& path) {
  KeyFileRead read = ReadRsaKeyFile(path, AskPassphrase);
  switch (read.status) {
    case KeyFileStatus::Ok: return std::move(read.key);
    case KeyFileStatus::Unreadable: UsageError(Format(kMsgKeyFileUnreadable, path.c_str(), read.why.c_str())); break;
    case KeyFileStatus::TooLarge: UsageError(Format(kMsgKeyFileTooLarge, path.c_str())); break;
    case KeyFileStatus::PublicOnly: UsageError(Format(kMsgKeyFilePublicOnly, path.c_str())); break;
    case KeyFileStatus::NotAKey: UsageError(Format(kMsgKeyFileNotAKey, path.c_str())); break;
    case KeyFileStatus::Undecryptable: UsageError(Format(kMsgKeyFileUndecryptable, path.c_str())); break;
    case KeyFileStatus::NotRsa: UsageError(Format(kMsgKeyFileNotRsa, path.c_str(), read.type.c_str())); break;
    case KeyFileStatus::WrongSize: UsageError(Format(kMsgKeyFileWrongSize, path.c_str(), read.bits)); break;
    case KeyFileStatus::Unusable: UsageError(Format(kMsgKeyFileUnusable, path.c_str())); break;
  }
  return nullptr;
}

int RunImport(const ImportOptions& options) {
  // Usage first: nothing is read or written for a mistyped command.
  const int given = !options.aes[0].empty() + !options.aes[1].empty() + !options.aes[2].empty();
  if (given != 0 && given != 3)
    return CommandUsageError("keylist import", kMsgAesKeysIncomplete);
  WipedAesKeys aes;
  for (size_t i = 0; i < 3 && given == 3; ++i)
    if (!ParseKey128Hex(options.aes[i], aes.keys[i]))
      return CommandUsageError("keylist import", Format(kMsgAesKeyNotHex, kAesOptions[i]));

  const std::string output = AbsolutePath(options.output);
  const std::string external = AbsolutePath(options.external);
  const std::string root = AbsolutePath(options.root);
  for (const std::string* input : {&external, &root}) {
    if (SameFile(IdentifyPath(output), IdentifyPath(*input))) {
      UsageError(Format(kMsgOutputIsInputFile, output.c_str(), input->c_str()));
      return kExitFailed;
    }
  }
  if (!options.force && GetPathKind(output) != PathKind::Missing) {
    UsageError(Format(kMsgFileExists, output.c_str()));
    return kExitFailed;
  }
  const PKey externalKey = ReadKeyFile(external);
  if (!externalKey) return kExitFailed;
  const PKey rootKey = ReadKeyFile(root);
  if (!rootKey) return kExitFailed;
  if (given == 0 && !RandomAesKeys(aes.keys)) {
    UsageError(kMsgAesKeysFailed);
    return kExitFailed;
  }
  std::string text;
  if (!KeyListTextFromKeys(externalKey.get(), rootKey.get(), aes.keys, text)) {
    UsageError(kMsgKeyLinesFailed);
    return kExitFailed;
  }
  OutFile out;
  const bool ok = out.Create(output, /*ownerOnly=*/true) && out.Write(text.data(), text.size()) && out.Commit();
  Cleanse(text);
  if (!ok) {
    UsageError(Format(kMsgWriteFailed, output.c_str()));
    return kExitFailed;
  }
  if (!Output().quiet)
    std::printf("Wrote the key list %s (readable by its owner only) from %s and %s%s.\n", output.c_str(),
                external.c_str(), root.c_str(), given == 0 ? ", with three fresh 128-bit keys" : "");
  return kExitOk;
}

// Loads the key list as a Make run does, its messages on standard error.
bool LoadKeyList(const std::string& path, Workspace& ws) {
  ConsoleReporter console(false);
  return LoadKeyListFile(ws, console, path);
}

int RunExportPublic(const ExportOptions& options) {
  const std::string path = AbsolutePath(options.file);
  Workspace ws;
  if (!LoadKeyList(path, ws)) return kExitFailed;
  // The private lines are not needed here.
  WipePrivateKeyLines(ws.keyLines);
  const KeyListCheck check = CheckKeyListLines(ws.keyLines);
  std::string pem;
  for (const KeyRole role : {KeyRole::External, KeyRole::Root}) {
    if (!options.role.empty() && options.role != RoleName(role)) continue;
    const KeyListRoleCheck& key = role == KeyRole::Root ? check.root : check.external;
    if (!key.publicKey) {
      UsageError(Format(kMsgPublicLinesNoKey, role == KeyRole::Root ? "11-12" : "1-2", path.c_str()));
      return kExitFailed;
    }
    // The key area carries lines 9-10: a key list whose copy differs would
    // have the board check the images with another key.
    if (role == KeyRole::External && !check.publicCopyMatches) {
      UsageError(Format(kMsgPublicCopyDiffers, path.c_str()));
      return kExitFailed;
    }
    pem += PublicKeyPem(key.publicKey.get());
  }
  std::fputs(pem.c_str(), stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitOk : kExitFailed;
}

std::string RoleSummary(const KeyListRoleCheck& key, KeyRole role) {
  const bool root = role == KeyRole::Root;
  std::string line = Format("%s key (lines %s): ", RoleName(role), root ? "11-18" : "1-8");
  if (!key.publicKey) return line + Format("lines %s are not an RSA public key", root ? "11-12" : "1-2");
  line += Format("RSA-%d", key.bits);
  if (key.bits != kBoardRsaBits) line += " (the boards take RSA-2048 only)";
  const std::string privateLines = root ? "13-18" : "3-8";
  switch (key.privateLines) {
    case KeyListRoleCheck::Private::Present:
      line += ", private lines " + privateLines + " present";
      break;
    case KeyListRoleCheck::Private::Placeholders:
      line += ", private lines " + privateLines + " are placeholders";
      break;
    case KeyListRoleCheck::Private::Mixed:
      line += ", lines " + LineRanges(key.placeholderLines) + " are placeholders but the other private lines "
              "are not";
      break;
    case KeyListRoleCheck::Private::Mismatch:
      line += ", private lines " + privateLines + " do not form the key with its public lines";
      break;
  }
  line += Format("\n  SHA-256 of the public key (DER): %s\n  SHA-256 of the modulus:          %s",
                 key.publicSha256.c_str(), key.modulusSha256.c_str());
  return line;
}

const char* PrivateLinesName(KeyListRoleCheck::Private lines) {
  switch (lines) {
    case KeyListRoleCheck::Private::Present:
      return "present";
    case KeyListRoleCheck::Private::Placeholders:
      return "placeholders";
    case KeyListRoleCheck::Private::Mixed:
      return "mixed";
    case KeyListRoleCheck::Private::Mismatch:
      return "mismatch";
  }
  return "mismatch";
}

// One key of `keylist check --json`; the public key's fields are null when
// its lines do not form an RSA key.
nlohmann::json RoleRecord(const KeyListRoleCheck& key, KeyRole role) {
  const bool root = role == KeyRole::Root;
  const auto orNull = [&key](const auto& value) {
    return key.publicKey ? nlohmann::json(value) : nlohmann::json(nullptr);
  };
  return {{"id", RoleName(role)},
          {"lines", root ? "11-18" : "1-8"},
          {"rsa_bits", orNull(key.bits)},
          {"private_lines", PrivateLinesName(key.privateLines)},
          {"placeholder_lines", key.placeholderLines},
          {"sha256", orNull(key.publicSha256)},
          {"modulus_sha256", orNull(key.modulusSha256)}};
}

int RunCheck(const CheckOptions& options) {
  const std::string path = AbsolutePath(options.file);
  Workspace ws;
  if (!LoadKeyList(path, ws)) return kExitFailed;
  const KeyListCheck check = CheckKeyListLines(ws.keyLines);
  WipePrivateKeyLines(ws.keyLines);
  std::vector<size_t> placeholders = check.external.placeholderLines;
  placeholders.insert(placeholders.end(), check.root.placeholderLines.begin(), check.root.placeholderLines.end());
  if (options.json) {
    const nlohmann::json document = {
        {"schema", kReportSchema},
        {"tool", kProgramName},
        {"version", kVersion},
        {"file", path},
        {"keys", {RoleRecord(check.external, KeyRole::External), RoleRecord(check.root, KeyRole::Root)}},
        {"public_copy_matches", check.publicCopyMatches},
        {"bad_128_bit_lines", check.bad128Lines},
        {"sound", check.Sound()}};
    std::printf("%s\n", document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(stdout);
  } else if (!Output().quiet) {
    std::string report = "key list: " + path + "\n";
    report += RoleSummary(check.external, KeyRole::External) + "\n";
    report += std::string("lines 9-10: ") +
              (check.publicCopyMatches ? "match lines 1-2" : "DIFFER from lines 1-2 (the key area carries lines 9-10)") +
              "\n";
    report += RoleSummary(check.root, KeyRole::Root) + "\n";
    report += "lines 19-20: free (no step reads them)\n";
    report += check.bad128Lines.empty()
                  ? std::string("lines 21-23: three 128-bit keys\n")
                  : "lines 21-23: line " + LineRanges(check.bad128Lines) + " not 32 hexadecimal digits\n";
    report += "placeholders: " +
              (placeholders.empty() ? std::string("none")
                                    : "lines " + LineRanges(placeholders) + " (sign with make --signer)") +
              "\n";
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
  }
  if (!check.Sound()) {
    UsageError(Format(kMsgKeyListUnsound, path.c_str()));
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

Command AddKeylistCommand(CLI::App& cli) {
  CLI::App* sub = cli.add_subcommand("keylist", "Key lists from and to standard key files.");
  sub->require_subcommand(1);

  auto io = std::make_shared<ImportOptions>();
  CLI::App* import = sub->add_subcommand(
      "import", "Write a key list from two RSA-2048 private keys in PEM or DER files (PKCS #8 or PKCS #1).");
  import->add_option("--external", io->external, "The external key (signs the images)")->required();
  import->add_option("--root", io->root, "The root key (signs the boot image's key area)")->required();
  CLI::Option* v1 = import->add_option("--aes-v1", io->aes[0], "128-bit key V1 (line 23), 32 hexadecimal digits");
  CLI::Option* v2 = import->add_option("--aes-v2", io->aes[1], "128-bit key V2 (line 22), 32 hexadecimal digits");
  CLI::Option* v3 = import->add_option("--aes-v3", io->aes[2], "128-bit key V3 (line 21), 32 hexadecimal digits");
  CLI::Option* random =
      import->add_flag("--aes-random", io->aesRandom, "Three fresh random 128-bit keys (the default)");
  for (CLI::Option* opt : {v1, v2, v3}) random->excludes(opt);
  import->add_option("-o,--output", io->output, "Key list file to write")->required();
  import->add_flag("--force", io->force, "Replace an existing file");

  auto eo = std::make_shared<ExportOptions>();
  CLI::App* exportPublic =
      sub->add_subcommand("export-public", "Print the public keys of a key list as PEM (external first).");
  exportPublic->add_option("--role", eo->role, "Only this key: external or root")
      ->check(CLI::IsMember({"external", "root"}));
  exportPublic->add_option("file", eo->file, "Key list file")->required();

  auto co = std::make_shared<CheckOptions>();
  CLI::App* check = sub->add_subcommand(
      "check", "Say what a key list's lines hold: placeholders, the copy of the public key, fingerprints.");
  check->add_option("file", co->file, "Key list file")->required();
  check->add_flag("--json", co->json, "One JSON document on standard output instead of lines");

  for (CLI::App* nested : {import, exportPublic, check}) nested->fallthrough();
  return {sub, [import, exportPublic, io, eo, co] {
            if (import->parsed()) return RunImport(*io);
            if (exportPublic->parsed()) return RunExportPublic(*eo);
            return RunCheck(*co);
          }};
}

}  // namespace tarnel::cli
