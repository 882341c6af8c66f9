#include "cli/verify_commands.h"

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/cli_common.h"
#include "cli/command.h"
#include "common/files.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/text.h"
#include "pipeline/make_driver.h"
#include "verify/messages.h"
#include "verify/run_check.h"
#include "verify/verify.h"

namespace tarnel::cli {

namespace {

using nlohmann::json;
using verify::FileResult;

void UsageLine(const std::string& text) { UsageError(text); }

json ResultJson(const FileResult& r, bool withFields) {
  json j = {{"file", r.file}, {"kind", r.KindOrUnknown()}, {"ok", r.ok}, {"problems", r.problems}};
  if (withFields) {
    json fields = json::object();
    for (const verify::Field& field : r.fields) fields[field.name] = field.value;
    j["fields"] = fields;
    j["fingerprints"] = r.fingerprints;
    j["entries"] = r.entries;
  }
  return j;
}

void PrintJson(const json& j) {
  const std::string text = j.dump(2, ' ', false, json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
}

}  // namespace

int RunVerify(const VerifyArgs& args) {
  verify::Keys keys;
  std::string why;
  const std::string keyPath = AbsolutePath(args.keys);
  if (!verify::LoadKeys(keyPath, keys, why)) {
    UsageLine(why);
    return kExitUsage;
  }
  verify::Options options;
  options.keys = &keys;
  options.board = args.board;
  if (!args.androidCert.empty()) {
    options.androidCert = AbsolutePath(args.androidCert);
    const PathKind kind = GetPathKind(options.androidCert);
    if (kind != PathKind::File) {
      UsageLine(Format(kind == PathKind::Missing ? "the Android certificate %s does not exist"
                                                 : "the Android certificate %s is not a regular file",
                       verify::DisplayName(options.androidCert).c_str()));
      return kExitUsage;
    }
  }
  std::vector<FileResult> results;
  std::vector<std::string> needBoard, cannotCheck;
  for (const std::string& file : args.files) {
    results.push_back(verify::CheckFile(file, options));
    if (results.back().needsBoard) needBoard.push_back(file);
    if (!results.back().cannotCheck.empty())
      cannotCheck.push_back(verify::DisplayName(file) + ": " + results.back().cannotCheck);
  }
  if (!needBoard.empty() || !cannotCheck.empty()) {
    for (const std::string& file : needBoard)
      UsageLine(Format("%s: the key partition's layout depends on the board; give --board 0 or 1",
                       verify::DisplayName(file).c_str()));
    for (const std::string& line : cannotCheck) UsageLine(line);
    return kExitUsage;
  }
  bool allOk = true;
  json array = json::array();
  for (const FileResult& r : results) {
    allOk = allOk && r.ok;
    if (args.json) {
      array.push_back(ResultJson(r, false));
    } else if (r.ok) {
      std::printf("OK %s: %s\n", verify::DisplayName(r.file).c_str(), r.KindOrUnknown().c_str());
    } else {
      std::printf("FAIL %s: %s: %s\n", verify::DisplayName(r.file).c_str(), r.KindOrUnknown().c_str(),
                  r.problems.empty() ? verify::kProbNoHeader : r.problems.front().c_str());
    }
  }
  if (args.json) PrintJson(array);
  std::fflush(stdout);
  return allOk ? kExitOk : kExitFailed;
}

int RunInfo(int32_t board, bool json, const std::vector<std::string>& files) {
  verify::Options options;
  options.board = board;
  bool allOk = true;
  nlohmann::json array = nlohmann::json::array();
  for (const std::string& file : files) {
    const FileResult r = verify::CheckFile(file, options);
    allOk = allOk && r.ok;
    if (json) {
      array.push_back(ResultJson(r, true));
      continue;
    }
    std::printf("%s: %s\n", verify::DisplayName(r.file).c_str(), r.KindOrUnknown().c_str());
    for (const verify::Field& field : r.fields) std::printf("  %s: %s\n", field.name.c_str(), field.value.c_str());
    for (const std::string& fp : r.fingerprints) std::printf("  fingerprint %s\n", fp.c_str());
    for (const std::string& entry : r.entries) std::printf("  entry %s\n", entry.c_str());
    for (const std::string& problem : r.problems) std::printf("  problem: %s\n", problem.c_str());
  }
  if (json) PrintJson(array);
  std::fflush(stdout);
  return allOk ? kExitOk : kExitFailed;
}

namespace {

// The --board of verify and info: empty when not given, else an index or a
// name; false after a usage message when it is neither.
[[nodiscard]] bool BoardOption(const std::string& text, int32_t& board) {
  board = text.empty() ? -1 : ParseBoard(text);
  if (!text.empty() && board < 0) {
    UsageError(UnknownBoardMessage(text));
    return false;
  }
  return true;
}

}  // namespace

Command AddVerifyCommand(CLI::App& cli) {
  struct Options {
    VerifyArgs args;
    std::string board;
  };
  auto o = std::make_shared<Options>();
  CLI::App* sub = cli.add_subcommand("verify", "Check signed outputs with the key list; one OK or FAIL line each.");
  sub->add_option("-k,--keys", o->args.keys, "Key list file the outputs were signed with")->required();
  sub->add_option("-b,--board", o->board, "Board type: 0 to 5 or its name, where the bytes cannot tell");
  sub->add_option("--android-cert", o->args.androidCert,
                  "Certificate of the Android signature (default: testkey.x509.pem beside the key list)");
  sub->add_flag("--json", o->args.json, "Print one JSON array instead of lines");
  sub->add_option("file", o->args.files, "Files to check")->required();
  return {sub, [o] {
            if (!BoardOption(o->board, o->args.board)) return kExitUsage;
            return RunVerify(o->args);
          }};
}

Command AddInfoCommand(CLI::App& cli) {
  struct Options {
    std::vector<std::string> files;
    std::string board;
    bool json = false;
  };
  auto o = std::make_shared<Options>();
  CLI::App* sub = cli.add_subcommand("info", "Print every header field of signed outputs.");
  sub->add_option("-b,--board", o->board, "Board type: 0 to 5 or its name");
  sub->add_flag("--json", o->json, "Print one JSON array instead of text");
  sub->add_option("file", o->files, "Files to inspect")->required();
  return {sub, [o] {
            int32_t board = -1;
            if (!BoardOption(o->board, board)) return kExitUsage;
            return RunInfo(board, o->json, o->files);
          }};
}

}  // namespace tarnel::cli
