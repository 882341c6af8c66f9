#include "cli/verify_commands.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "common/files.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/signing_context.h"
#include "common/text.h"
#include "pipeline/make_driver.h"
#include "pipeline/run_plan.h"
#include "verify/messages.h"
#include "verify/run_check.h"
#include "verify/verify.h"

namespace tarnel::cli {

namespace {

using nlohmann::json;
using verify::FileResult;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void UsageLine(const std::string& text) { std::fprintf(stderr, "tarnel-cli: %s\n", text.c_str()); }

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
    if (!IsRegularFile(options.androidCert)) {
      UsageLine(Format("the Android certificate %s does not exist", options.androidCert.c_str()));
      return kExitUsage;
    }
  }
  std::vector<FileResult> results;
  std::vector<std::string> needBoard;
  for (const std::string& file : args.files) {
    results.push_back(verify::CheckFile(file, options));
    if (results.back().needsBoard) needBoard.push_back(file);
  }
  if (!needBoard.empty()) {
    for (const std::string& file : needBoard)
      UsageLine(Format("%s: the key partition's layout depends on the board; give --board 0 or 1", file.c_str()));
    return kExitUsage;
  }
  bool allOk = true;
  json array = json::array();
  for (const FileResult& r : results) {
    allOk = allOk && r.ok;
    if (args.json) {
      array.push_back(ResultJson(r, false));
    } else if (r.ok) {
      std::printf("OK %s: %s\n", r.file.c_str(), r.KindOrUnknown().c_str());
    } else {
      std::printf("FAIL %s: %s: %s\n", r.file.c_str(), r.KindOrUnknown().c_str(),
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
    std::printf("%s: %s\n", r.file.c_str(), r.KindOrUnknown().c_str());
    for (const verify::Field& field : r.fields) std::printf("  %s: %s\n", field.name.c_str(), field.value.c_str());
    for (const std::string& fp : r.fingerprints) std::printf("  fingerprint %s\n", fp.c_str());
    for (const std::string& entry : r.entries) std::printf("  entry %s\n", entry.c_str());
    for (const std::string& problem : r.problems) std::printf("  problem: %s\n", problem.c_str());
  }
  if (json) PrintJson(array);
  std::fflush(stdout);
  return allOk ? kExitOk : kExitFailed;
}

int RunMakeChecked(Workspace& ws, RunReporter& reporter, const std::function<void(SigningContext&)>& prepare,
                   bool verify, const std::string& reportPath) {
  verify::ReadBackReporter checked(reporter, ws, verify);
  bool ran = false;
  {
    SigningContext ctx(ws, checked);
    prepare(ctx);
    ran = RunMake(ctx);
  }
  const bool success = ran && !checked.ReadBackFailed();
  int status = success ? kExitOk : kExitFailed;
  if (reportPath.empty()) return status;

  const AppMembers& app = ws.app;
  nlohmann::json report;
  report["board"] = {{"index", app.m_nBoardType},
                     {"name", app.m_nBoardType >= 0 && app.m_nBoardType < static_cast<int32_t>(kBoardTypeNames.size())
                                  ? std::string(kBoardTypeNames[static_cast<size_t>(app.m_nBoardType)])
                                  : std::string()}};
  nlohmann::json outputs = nlohmann::json::array();
  if (success) {
    verify::Options structure;
    structure.board = app.m_nBoardType;
    for (const std::string& path : PlanRun(ws).Outputs()) {
      const FileResult r = verify::CheckFile(path, structure);
      InFile in;
      const uint64_t size = in.Open(path) ? in.Size() : 0;
      outputs.push_back({{"file", path}, {"kind", r.KindOrUnknown()}, {"size", size},
                         {"sha256", verify::FileSha256(path)}});
    }
  }
  report["outputs"] = outputs;
  nlohmann::json keys = nlohmann::json::array();
  verify::Keys loaded;
  std::string why;
  if (!app.m_strKeysFile.empty() && verify::LoadKeys(app.m_strKeysFile, loaded, why)) {
    keys.push_back({{"key", "external (key list lines 1-8)"}, {"sha256", verify::PublicKeyFingerprint(loaded.external.get())}});
    keys.push_back({{"key", "root (key list lines 11-18)"}, {"sha256", verify::PublicKeyFingerprint(loaded.root.get())}});
  }
  report["keys"] = keys;
  report["message"] = checked.ClosingMessage();
  report["exit_status"] = status;

  const std::string text = report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  OutFile out;
  if (!out.Create(AbsolutePath(reportPath)) || !out.Write(text.data(), text.size()) || !out.Commit()) {
    UsageLine(Format("cannot write the report %s", AbsolutePath(reportPath).c_str()));
    return kExitFailed;
  }
  return status;
}

}  // namespace tarnel::cli
