// tarnel-cli make: what a person does in the window, in the same order. The
// program folder is checked and the flash layout loaded as the window does at
// start; then the board type is selected, the partition table loaded, the key
// list loaded, the output folder set, and Make pressed. Every message box text
// goes to standard error on a line of its own, in order.
//
// Exit status: 0 when the run ended with its success message; 1 for every
// other end of a run (a failed load, a failed check, a failed signer, another
// run holding the program folder); 2 for a usage error: an unknown option or
// board, a missing option, an output folder that does not exist, a signer or
// archive signer that names nothing, whether an option, TARNEL_SIGNER or
// BurnConfig.ini gives it.
//
// An empty --keys or --output value stands for a box left empty in the
// window: the Make run then asks for it ("Please select the keys file!").
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "boot/key_list.h"
#include "cli/cli_common.h"
#include "cli/command.h"
#include "cli/console_reporter.h"
#include "cli/make_report.h"
#include "cli/messages.h"
#include "common/files.h"
#include "common/messages.h"
#include "common/model.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/program_folder.h"
#include "common/text.h"
#include "config/burn_config.h"
#include "config/flash_config.h"
#include "config/partition_config.h"
#include "pipeline/messages.h"
#include "pipeline/make_driver.h"
#include "signing/signer.h"
#include "signing/messages.h"

namespace tarnel::cli {
namespace {

// "<program folder>BurnConfig.ini [Signing] <key>"
std::string IniSource(const std::string& appDir, const char* key) {
  return appDir + kBurnConfigName + " [" + kSigningSection + "] " + key;
}

// The window refuses to start without these folders of the program folder.

struct MakeOptions {
  std::string board;
  std::string config;
  std::string keys;
  std::string output;
  bool outputGiven = false;
  bool defaultOutput = false;
  std::string home;
  bool verify = false;      // --verify: read every output back before the success message
  std::string report;       // --report: where the run's JSON record goes
  std::string signer;       // --signer: the RSA signer's text
  bool json = false;        // --json: the report on standard output
  std::string archiveSigner;  // --archive-signer: native, java or native-parallel
  std::string headerPaths;    // --header-paths: full or name
  bool waitGiven = false;     // --wait[=SECONDS]: wait for a busy program or output folder
  std::string wait;
  std::string archiveKey;     // --archive-key: pkcs11:<URI>
};

// A setting and where it was given: "" for an option, else the variable or
// the file and key, for the detail line of a message about it.
struct Setting {
  std::string value;
  std::string source;
};

// --signer, else TARNEL_SIGNER, else BurnConfig.ini [Signing] Signer, else keylist.
Setting ChooseSigner(const std::string& option, const std::string& appDir) {
  if (!option.empty()) return {option, {}};
  if (const char* env = std::getenv(kSignerEnv); env != nullptr && *env != '\0') return {env, kSignerEnv};
  return {ReadSignerSetting(appDir), IniSource(appDir, kSignerKey)};
}

// A mistake in a setting is a usage error wherever it was given: the message,
// then where it came from when that was not the command line.
int SettingError(const std::string& text, const Setting& setting) {
  UsageError(text);
  if (!setting.source.empty()) std::fprintf(stderr, "given in %s\n", setting.source.c_str());
  return kExitUsage;
}

// The signer text names a back end the run can make (an exec: helper by an
// absolute path); nothing is opened or loaded here.
int CheckSignerSetting(const Setting& signer) {
  if (!IsSignerSpec(signer.value))
    return SettingError(Format(kMsgSignerUnknown, SignerTextForMessages(signer.value).c_str()), signer);
  const KeyLines none;
  std::string error;
  if (!MakeSigner(signer.value, none, std::string(), nullptr, error)) return SettingError(error, signer);
  return kExitOk;
}

int RunMakeCommand(const MakeOptions& options) {
  // Usage first, so that a mistyped command changes nothing.
  const int32_t board = ParseBoard(options.board);
  if (board < 0) {
    UsageError(UnknownBoardMessage(options.board));
    return kExitUsage;
  }
  if (!options.signer.empty()) {
    if (const int status = CheckSignerSetting({options.signer, {}}); status != kExitOk) return status;
  }
  if (SignerCarriesPinValue(options.signer) || SignerCarriesPinValue(options.archiveKey)) {
    UsageError(kMsgPinValueOnCommandLine);
    return kExitUsage;
  }
  const std::optional<ArchiveSigner> archiveSigner =
      options.archiveSigner.empty() ? std::nullopt : ParseArchiveSigner(options.archiveSigner);
  if (!options.archiveSigner.empty() && !archiveSigner)
    return SettingError(Format(kMsgArchiveSignerUnknown, options.archiveSigner.c_str()), {});
  const std::optional<HeaderPaths> headerPaths =
      options.headerPaths.empty() ? std::nullopt : ParseHeaderPaths(options.headerPaths);
  if (!options.headerPaths.empty() && !headerPaths)
    return SettingError(Format(kMsgHeaderPathsUnknown, options.headerPaths.c_str()), {});
  int lockWaitSeconds = 0;
  if (options.waitGiven) {
    lockWaitSeconds = -1;
    if (!options.wait.empty()) {
      const bool digits = options.wait.size() <= 7 && options.wait.find_first_not_of("0123456789") == std::string::npos;
      if (!digits) return CommandUsageError("make", kMsgWaitNotSeconds);
      lockWaitSeconds = std::stoi(options.wait);
    }
  }
  if (!options.outputGiven && !options.defaultOutput) {
    return CommandUsageError("make", kMsgOutputFolderMissing);
  }
  std::string outputPath;
  if (options.outputGiven && !options.output.empty()) {
    outputPath = AbsolutePath(options.output);
    if (!IsFolder(outputPath)) {
      UsageError(Format(kMsgOutputFolderAbsent, outputPath.c_str()));
      return kExitUsage;
    }
    outputPath = WithTrailingSep(outputPath);
  }

  ConsoleReporter console(ProgressLineWanted());
  console.SetQuiet(Output().quiet);
  LoggingReporter reporter(console);
  Workspace ws;
  AppMembers& app = ws.app;
  ReportRequest request;
  request.reportPath = options.report;
  request.json = options.json;
  request.tablePath = AbsolutePath(options.config);
  if (!options.keys.empty()) request.keysPath = AbsolutePath(options.keys);
  const auto finish = [&](int status) {
    console.Finish(status == kExitOk);
    return status;
  };
  const auto endEarly = [&](int status) { return finish(ReportEarlyEnd(ws, reporter, request, status)); };

  app.m_strAppDir = ProgramFolder(options.home);
  if (app.m_strAppDir.empty()) {
    UsageError(kMsgProgramFolderUnknown);
    return kExitUsage;
  }
  app.m_nBoardType = board;
  // The settings the environment and BurnConfig.ini give are checked as the
  // options are, before anything changes.
  const Setting signer = ChooseSigner(options.signer, app.m_strAppDir);
  if (const int status = CheckSignerSetting(signer); status != kExitOk) return status;
  std::optional<ArchiveSigner> archiveSetting = archiveSigner;
  if (!archiveSetting) {
    const std::optional<std::string> text = ReadSigningSetting(app.m_strAppDir, kArchiveKey);
    archiveSetting = text ? ParseArchiveSigner(*text) : ArchiveSigner::Native;
    if (!archiveSetting)
      return SettingError(Format(kMsgArchiveSignerUnknown, text->c_str()), {*text, IniSource(app.m_strAppDir, kArchiveKey)});
  }
  std::optional<HeaderPaths> headerPathsSetting = headerPaths;
  if (!headerPathsSetting) {
    const std::optional<std::string> text = ReadSigningSetting(app.m_strAppDir, kHeaderPathsKey);
    headerPathsSetting = text ? ParseHeaderPaths(*text) : HeaderPaths::Full;
    if (!headerPathsSetting)
      return SettingError(Format(kMsgHeaderPathsUnknown, text->c_str()), {*text, IniSource(app.m_strAppDir, kHeaderPathsKey)});
  }
  app.m_headerPaths = *headerPathsSetting;

  const Setting archiveKey = !options.archiveKey.empty()
                                ? Setting{options.archiveKey, {}}
                                : Setting{ReadArchiveKeySetting(app.m_strAppDir), IniSource(app.m_strAppDir, kArchiveKeyKey)};
  if (!archiveKey.value.empty() && !StartsWithNoCase(archiveKey.value, kSignerPkcs11Scheme))
    return SettingError(Format(kMsgArchiveKeyNotToken, SignerTextForMessages(archiveKey.value).c_str()), archiveKey);

  // What the window does when it opens; Java is needed only when it signs
  // every upgrade archive.
  app.m_archiveSigner = *archiveSetting;
  app.m_archiveKey = archiveKey.value;
  if (const std::string missing = OpenProgramFolder(app.m_strAppDir, app.m_archiveSigner == ArchiveSigner::Java);
      !missing.empty()) {
    reporter.Show(Format(kMsgFolderNotFound, missing.c_str()));
    return endEarly(kExitFailed);
  }
  app.m_nJavaMemory = ReadJavaMemory(app.m_strAppDir);
  (void)LoadFlashConfig(ws.flashTable, reporter, FlashConfigPath(app.m_strAppDir));

  // Board type, Config File Browse, Keys File Browse, Output Browse.
  if (!LoadPartitionConfig(ws.table, board, reporter, request.tablePath)) return endEarly(kExitFailed);
  app.m_strInputDir = FolderPart(request.tablePath);
  if (!request.keysPath.empty()) {
    app.m_strInputDir = FolderPart(request.keysPath);
    if (!LoadKeyListFile(ws, reporter, request.keysPath)) return endEarly(kExitFailed);
  }
  app.m_strOutputPath = options.defaultOutput ? app.m_strAppDir + "Output" + std::string(kSepStr) : outputPath;

  // Interrupted, the run leaves no partial file behind; past a file-size
  // limit a write fails with a message instead of killing the run.
  InstallInterruptCleanup();
  RunOptions run;
  run.signerSpec = signer.value;
  run.pinSource = AskPinOnTerminal;
  run.readBack = options.verify;
  run.lockWaitSeconds = lockWaitSeconds;
  run.waiting = [&console](const std::string& folder) {
    if (!Output().quiet) console.ShowMessage(Format(kMsgWaitingForFolder, folder.c_str()), {}, MsgIcon::None);
  };
  if (request.Wanted()) return finish(RunMakeChecked(ws, reporter, run, request));
  return finish(RunMake(ws, reporter, run).Succeeded() ? kExitOk : kExitFailed);
}

}  // namespace

Command AddMakeCommand(CLI::App& cli) {
  auto o = std::make_shared<MakeOptions>();
  CLI::App* sub = cli.add_subcommand("make", "Sign the rows of a partition table, as the Make button does.");
  sub->add_option("-b,--board", o->board, "Board type: 0 to 5 or its name (" + BoardList() + ")")->required();
  sub->add_option("-c,--config", o->config, "Partition table file")->required();
  sub->add_option("-k,--keys", o->keys, "Key list file")->required();
  CLI::Option* outputOpt = sub->add_option("-o,--output", o->output, "Output folder (must exist)");
  CLI::Option* defaultOpt =
      sub->add_flag("--default-output", o->defaultOutput, "Use the Output folder of the program folder");
  outputOpt->excludes(defaultOpt);
  sub->add_option("--home", o->home,
                  "Program folder (default: the executable's folder when it holds Config/, else the "
                  "per-user folder)");
  sub->add_option("--signer", o->signer,
                  "RSA signer: keylist, pkcs11:<RFC 7512 URI> or exec:<program> (default: TARNEL_SIGNER, "
                  "else BurnConfig.ini [Signing] Signer, else keylist)");
  sub->add_option("--archive-signer", o->archiveSigner,
                  "Who signs the upgrade archive: native (signapk's bytes, the default), java (signapk.jar) or "
                  "native-parallel (faster, other compressed bytes); default: BurnConfig.ini [Signing] Archive");
  sub->add_option("--archive-key", o->archiveKey,
                  "The upgrade archive's key in a PKCS#11 token: pkcs11:<RFC 7512 URI>, found by the public key of "
                  "testkey.x509.pem (native archive signers; default: BurnConfig.ini [Signing] ArchiveKey, else "
                  "testkey.pk8)");
  sub->add_flag("--verify", o->verify, "Read every output back and verify it before the success message");
  sub->add_option("--report", o->report, "Write a JSON record of the run to this file (- for standard output)");
  sub->add_flag("--json", o->json, "Print the JSON record of the run on standard output");
  sub->add_option("--header-paths", o->headerPaths,
                  "What the signed headers store of the input's and the key list's paths: full (the default) or "
                  "name (bare file names); default: BurnConfig.ini [Signing] HeaderPaths")
      ->check(CLI::IsMember({"full", "name"}, CLI::ignore_case));
  CLI::Option* waitOpt =
      sub->add_option("--wait", o->wait,
                      "Wait for another run that holds the program or output folder, without end or at most "
                      "SECONDS (--wait=SECONDS), instead of stopping at once")
          ->expected(0, 1)
          ->type_name("SECONDS");
  return {sub, [o, outputOpt, waitOpt] {
            o->outputGiven = outputOpt->count() > 0;
            o->waitGiven = waitOpt->count() > 0;
            return RunMakeCommand(*o);
          }};
}

}  // namespace tarnel::cli
