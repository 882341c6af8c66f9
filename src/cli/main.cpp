// tarnel-cli: the command line beside the desktop program.
//
//   tarnel-cli make --board <0-5|board name> --config <partition table> --keys <key list>
//                   (--output <folder> | --default-output) [--home <program folder>]
//                   [--signer keylist|pkcs11:<URI>|exec:<program>]
//   tarnel-cli keygen <key list file> [--force] [--signer pkcs11:<URI>]
//   tarnel-cli demo <folder> [--home <program folder>]
//   tarnel-cli verify --keys <key list> [--board <b>] [--android-cert <pem>] [--json] <file>...
//   tarnel-cli info [--board <b>] [--json] <file>...
//   tarnel-cli --version
//
// `make --verify` reads every output back and verifies it before the
// success message; `make --report <file.json>` records the run.
//
// `make` does what a person does in the window, in the same order: the
// program folder is checked and the flash layout loaded as the window does at
// start; then the board type is selected, the partition table loaded, the key
// list loaded, the output folder set, and Make pressed. Every message box
// text goes to standard error on a line of its own, in order.
//
// Exit status: 0 when the run ended with its success message; 1 for every
// other end of a run (a failed load, a failed check, a failed signer, another
// run holding the program folder); 2 for a usage error: an unknown option or
// board, a missing option, an output folder that does not exist.
//
// An empty --keys or --output value stands for a box left empty in the
// window: the Make run then asks for it ("Please select the keys file!").
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "boot/key_gen.h"
#include "common/files.h"
#include "common/secure.h"
#include "boot/key_list.h"
#include "build_info.h"
#include "cli/demo.h"
#include "cli/signapk_command.h"
#include "cli/verify_commands.h"
#include "common/model.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/program_folder.h"
#include "common/reporter.h"
#include "common/signing_context.h"
#include "common/text.h"
#include "config/burn_config.h"
#include "config/flash_config.h"
#include "config/partition_config.h"
#include "pipeline/make_driver.h"
#include "signing/signer.h"

namespace tarnel {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The window refuses to start without these folders of the program folder.
constexpr const char* kMsgFolderNotFound = "\"%s\" not find!";
constexpr int kProgressWidth = 30;

// Message boxes as lines on standard error; on a terminal also a progress
// line, cleared before each message.
class ConsoleReporter : public RunReporter {
 public:
#ifdef _WIN32
  ConsoleReporter() : terminal_(::_isatty(::_fileno(stderr)) != 0) {}
#else
  ConsoleReporter() : terminal_(::isatty(STDERR_FILENO) == 1) {}
#endif
  ~ConsoleReporter() override { ClearProgress(); }
  ConsoleReporter(const ConsoleReporter&) = delete;
  ConsoleReporter& operator=(const ConsoleReporter&) = delete;

  void ShowMessage(const std::string& text, const std::string&, MsgIcon) override {
    ClearProgress();
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  }
  void SetProgressRange(int maximum) override { maximum_ = maximum; }
  void SetProgressPos(int position) override {
    position_ = position;
    passTotal_ = 0;
    Draw(0.0, {});
  }
  // Within a long step: the bar moves inside the step's share and the line
  // gives the bytes of the pass under way and its throughput, at most ten
  // times a second.
  void SetStepProgress(uint64_t done, uint64_t total) override {
    if (!terminal_ || maximum_ <= 0 || total == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (total != passTotal_ || done < passDone_) {  // a new pass
      passStart_ = now;
      passTotal_ = total;
    }
    passDone_ = done;
    if (done < total && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    std::string detail = "  " + Bytes(static_cast<double>(done)) + " of " + Bytes(static_cast<double>(total));
    const double seconds = std::chrono::duration<double>(now - passStart_).count();
    if (seconds >= 0.2) detail += ", " + Bytes(static_cast<double>(done) / seconds) + "/s";
    Draw(static_cast<double>(std::min(done, total)) / static_cast<double>(total), detail);
  }
  // The window's short pause before a closing message is of no use here.
  void Pause(int) override {}

 private:
  static std::string Bytes(double n) {
    char text[32];
    if (n >= 1024.0 * 1024 * 1024) std::snprintf(text, sizeof text, "%.2f GiB", n / (1024.0 * 1024 * 1024));
    else std::snprintf(text, sizeof text, "%.1f MiB", n / (1024.0 * 1024));
    return text;
  }
  // The bar at the position plus `fraction` of the next step.
  void Draw(double fraction, const std::string& detail) {
    if (!terminal_ || maximum_ <= 0) return;
    const double at = std::clamp(static_cast<double>(position_) + fraction, 0.0, static_cast<double>(maximum_));
    const int filled = static_cast<int>(at * kProgressWidth / maximum_);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kProgressWidth, '.');
    std::fprintf(stderr, "\r[%s] %d/%d%s\033[K", bar.c_str(), position_, maximum_, detail.c_str());
    std::fflush(stderr);
    shown_ = true;
  }
  void ClearProgress() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    shown_ = false;
  }

  bool terminal_;
  bool shown_ = false;
  int maximum_ = 0;
  int position_ = 0;
  uint64_t passDone_ = 0;
  uint64_t passTotal_ = 0;
  std::chrono::steady_clock::time_point passStart_{};
  std::chrono::steady_clock::time_point lastDraw_{};
};

void UsageError(const std::string& text) { std::fprintf(stderr, "tarnel-cli: %s\n", text.c_str()); }

// A board index 0 to 5 or a board name (case ignored); -1 when it is neither.
int32_t ParseBoard(const std::string& text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '5') return text[0] - '0';
  for (size_t i = 0; i < kBoardTypeNames.size(); ++i)
    if (EqualsNoCase(text, kBoardTypeNames[i])) return static_cast<int32_t>(i);
  return -1;
}

std::string BoardList() {
  std::string out;
  for (size_t i = 0; i < kBoardTypeNames.size(); ++i)
    out += Format("%s%zu %.*s", i ? ", " : "", i, static_cast<int>(kBoardTypeNames[i].size()),
                  kBoardTypeNames[i].data());
  return out;
}

// The program folder: the one --home names, else the executable's folder or,
// for an installed tool, the per-user one (made on first start). Empty, with
// the reason printed, when none can be set up.
std::string ProgramFolder(const std::string& home) {
  if (!home.empty()) return WithTrailingSep(AbsolutePath(home));
  const std::string exeDir = ExecutableDir();
  const ProgramFolderChoice choice =
      ChooseProgramFolder(exeDir, InstalledTemplateDir(exeDir, kTemplateFromBinDir), UserDataDir());
  if (!choice.error.empty()) std::fprintf(stderr, "%s\n", choice.error.c_str());
  return choice.folder;
}

// The PIN of a token, asked on the terminal without echo.
// The progress line, if one is shown, is cleared first.
std::optional<std::string> AskPinOnTerminal(const std::string& tokenLabel) {
  return ReadSecretFromTerminal(Format("\r\033[KPIN for the token \"%s\": ", tokenLabel.c_str()));
}

// --signer, else TARNEL_SIGNER, else BurnConfig.ini [Signing] Signer, else keylist.
std::string ChooseSigner(const std::string& option, const std::string& appDir) {
  if (!option.empty()) return option;
  if (const char* env = std::getenv(kSignerEnv); env != nullptr && *env != '\0') return env;
  return ReadSignerSetting(appDir);
}

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
};

int RunMakeCommand(const MakeOptions& options) {
  // Usage first, so that a mistyped command changes nothing.
  const int32_t board = ParseBoard(options.board);
  if (board < 0) {
    UsageError(Format("unknown board type \"%s\"; give 0 to 5 or a name: %s", options.board.c_str(),
                      BoardList().c_str()));
    return kExitUsage;
  }
  if (!options.signer.empty() && !IsSignerSpec(options.signer)) {
    UsageError(Format(kMsgSignerUnknown, options.signer.c_str()));
    return kExitUsage;
  }
  if (!options.outputGiven && !options.defaultOutput) {
    UsageError("give the output folder with --output <folder>, or --default-output");
    return kExitUsage;
  }
  std::string outputPath;
  if (options.outputGiven && !options.output.empty()) {
    outputPath = AbsolutePath(options.output);
    if (!IsFolder(outputPath)) {
      UsageError(Format("the output folder %s does not exist", outputPath.c_str()));
      return kExitUsage;
    }
    outputPath = WithTrailingSep(outputPath);
  }

  ConsoleReporter reporter;
  Workspace ws;
  AppMembers& app = ws.app;
  app.m_strAppDir = ProgramFolder(options.home);
  if (app.m_strAppDir.empty()) {
    UsageError("cannot tell the program folder; give it with --home <folder>");
    return kExitUsage;
  }

  // What the window does when it opens.
  for (const char* folder : {"Config", "jre"}) {
    const std::string path = app.m_strAppDir + folder;
    if (!IsFolder(path)) {
      reporter.Show(Format(kMsgFolderNotFound, path.c_str()));
      return kExitFailed;
    }
  }
  (void)MakeFolder(app.m_strAppDir + "Temp");
  (void)MakeFolder(app.m_strAppDir + "Output");
  app.m_nJavaMemory = ReadJavaMemory(app.m_strAppDir);
  (void)LoadFlashConfig(ws.flashTable, reporter, FlashConfigPath(app.m_strAppDir));

  // Board type, Config File Browse, Keys File Browse, Output Browse.
  app.m_nBoardType = board;
  const std::string configPath = AbsolutePath(options.config);
  if (!LoadPartitionConfig(ws.table, board, reporter, configPath)) return kExitFailed;
  app.m_strInputDir = FolderPart(configPath);
  if (!options.keys.empty()) {
    const std::string keysPath = AbsolutePath(options.keys);
    app.m_strInputDir = FolderPart(keysPath);
    if (!LoadKeyListFile(ws, reporter, keysPath)) return kExitFailed;
  }
  app.m_strOutputPath = options.defaultOutput ? app.m_strAppDir + "Output" + std::string(kSepStr) : outputPath;

  // Interrupted, the run leaves no partial file behind; past a file-size
  // limit a write fails with a message instead of killing the run.
  InstallInterruptCleanup();
  const auto chooseSigner = [&](SigningContext& ctx) {
    ctx.signerSpec = ChooseSigner(options.signer, app.m_strAppDir);
    ctx.pinSource = AskPinOnTerminal;
  };
  if (options.verify || !options.report.empty())
    return cli::RunMakeChecked(ws, reporter, chooseSigner, options.verify, options.report);
  SigningContext ctx(ws, reporter);
  chooseSigner(ctx);
  return RunMake(ctx) ? kExitOk : kExitFailed;
}

// keygen into a token: the key pairs are made inside it, the key list gets
// their public lines.
int RunTokenKeygen(const std::string& path, bool force, const std::string& signer) {
  if (!force && GetPathKind(path) != PathKind::Missing) {
    UsageError(Format("%s already exists; give --force to replace it", path.c_str()));
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
    UsageError(Format("could not write %s", path.c_str()));
    return kExitFailed;
  }
  std::printf("Generated the keys %s and %s in the token; wrote their key list to %s.\n", kTokenExternalLabel,
              kTokenRootLabel, path.c_str());
  return kExitOk;
}

int RunKeygenCommand(const std::string& file, bool force, const std::string& signer) {
  const std::string path = AbsolutePath(file);
  if (!signer.empty() && signer != kSignerKeyList) {
    if (signer.rfind(kSignerPkcs11Scheme, 0) != 0) {
      UsageError("keygen --signer takes pkcs11:<URI>");
      return kExitUsage;
    }
    return RunTokenKeygen(path, force, signer);
  }
  switch (WriteNewKeyList(path, force)) {
    case KeyListWrite::Ok:
      std::printf("Wrote a new key list to %s (readable by its owner only).\n", path.c_str());
      return kExitOk;
    case KeyListWrite::Exists:
      UsageError(Format("%s already exists; give --force to replace it", path.c_str()));
      return kExitFailed;
    case KeyListWrite::GenerateFailed:
      UsageError("could not generate the keys");
      return kExitFailed;
    case KeyListWrite::WriteFailed:
      UsageError(Format("could not write %s", path.c_str()));
      return kExitFailed;
  }
  return kExitFailed;
}

int Main(int argc, char** argv) {
  CLI::App cli{"Tarnel: signs the partition images of a firmware for the boards' secure boot.", "tarnel-cli"};
  cli.require_subcommand(1);
  cli.set_version_flag("--version", std::string("tarnel-cli ") + kVersion, "Print the version and exit");
  // A usage error shows what the commands are.
  cli.failure_message(CLI::FailureMessage::help);

  MakeOptions make;
  CLI::App* makeCmd = cli.add_subcommand("make", "Sign the rows of a partition table, as the Make button does.");
  makeCmd->add_option("--board", make.board, "Board type: 0 to 5 or its name (" + BoardList() + ")")->required();
  makeCmd->add_option("--config", make.config, "Partition table file")->required();
  makeCmd->add_option("--keys", make.keys, "Key list file")->required();
  CLI::Option* outputOpt = makeCmd->add_option("--output", make.output, "Output folder (must exist)");
  CLI::Option* defaultOpt =
      makeCmd->add_flag("--default-output", make.defaultOutput, "Use the Output folder of the program folder");
  outputOpt->excludes(defaultOpt);
  makeCmd->add_option("--home", make.home,
                      "Program folder (default: the executable's folder when it holds Config/, else the "
                      "per-user folder)");
  makeCmd->add_option("--signer", make.signer,
                      "RSA signer: keylist, pkcs11:<RFC 7512 URI> or exec:<program> (default: TARNEL_SIGNER, "
                      "else BurnConfig.ini [Signing] Signer, else keylist)");
  makeCmd->add_flag("--verify", make.verify, "Read every output back and verify it before the success message");
  makeCmd->add_option("--report", make.report, "Write a JSON record of the run to this file");

  std::string keygenFile;
  bool keygenForce = false;
  CLI::App* keygenCmd = cli.add_subcommand("keygen", "Write a new key list file.");
  keygenCmd->add_option("file", keygenFile, "Key list file to write")->required();
  keygenCmd->add_flag("--force", keygenForce, "Replace an existing file");
  std::string keygenSigner;
  keygenCmd->add_option("--signer", keygenSigner, "pkcs11:<URI>: generate the two RSA keys inside that token");

  std::string demoFolder;
  std::string demoHome;
  CLI::App* demoCmd = cli.add_subcommand("demo", "Create a workspace with sample inputs to try the tool on.");
  demoCmd->add_option("folder", demoFolder, "Folder to create the workspace in")->required();
  demoCmd->add_option("--home", demoHome, "Program folder the printed commands use");

  cli::VerifyArgs verifyArgs;
  std::string verifyBoard;
  CLI::App* verifyCmd = cli.add_subcommand("verify", "Check signed outputs with the key list; one OK or FAIL line each.");
  verifyCmd->add_option("--keys", verifyArgs.keys, "Key list file the outputs were signed with")->required();
  verifyCmd->add_option("--board", verifyBoard, "Board type: 0 to 5 or its name, where the bytes cannot tell");
  verifyCmd->add_option("--android-cert", verifyArgs.androidCert,
                        "Certificate of the Android signature (default: testkey.x509.pem beside the key list)");
  verifyCmd->add_flag("--json", verifyArgs.json, "Print one JSON array instead of lines");
  verifyCmd->add_option("file", verifyArgs.files, "Files to check")->required();

  std::vector<std::string> infoFiles;
  std::string infoBoard;
  bool infoJson = false;
  CLI::App* infoCmd = cli.add_subcommand("info", "Print every header field of signed outputs.");
  infoCmd->add_option("--board", infoBoard, "Board type: 0 to 5 or its name");
  infoCmd->add_flag("--json", infoJson, "Print one JSON array instead of text");
  infoCmd->add_option("file", infoFiles, "Files to inspect")->required();

  cli::SignApkArgs signApkArgs;
  CLI::App* signApkCmd = cli::AddSignApkCommand(cli, signApkArgs);

  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = cli.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (makeCmd->parsed()) {
    make.outputGiven = outputOpt->count() > 0;
    return RunMakeCommand(make);
  }
  if (keygenCmd->parsed()) return RunKeygenCommand(keygenFile, keygenForce, keygenSigner);
  if (verifyCmd->parsed() || infoCmd->parsed()) {
    const std::string& boardText = verifyCmd->parsed() ? verifyBoard : infoBoard;
    const int32_t board = boardText.empty() ? -1 : ParseBoard(boardText);
    if (!boardText.empty() && board < 0) {
      UsageError(Format("unknown board type \"%s\"; give 0 to 5 or a name: %s", boardText.c_str(), BoardList().c_str()));
      return kExitUsage;
    }
    if (infoCmd->parsed()) return cli::RunInfo(board, infoJson, infoFiles);
    verifyArgs.board = board;
    return cli::RunVerify(verifyArgs);
  }
  if (signApkCmd->parsed()) return cli::RunSignApkCommand(signApkArgs);
  if (demoCmd->parsed()) return demo::RunDemo(AbsolutePath(demoFolder), demoHome.empty() ? std::string() : ProgramFolder(demoHome));
  return kExitUsage;
}

}  // namespace
}  // namespace tarnel

int main(int argc, char** argv) { return tarnel::Main(argc, argv); }
