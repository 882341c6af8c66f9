#include "cli/verify_commands.h"

#include <cctype>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/cli_common.h"
#include "build_info.h"
#include "cli/command.h"
#include "cli/messages.h"
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

// A field name as a JSON key: lower case, words joined by '_'.
std::string JsonKey(const std::string& name) {
  std::string key;
  for (const char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!key.empty() && key.back() != '_') {
      key += '_';
    }
  }
  while (!key.empty() && key.back() == '_') key.pop_back();
  return key;
}

// A field value as typed JSON: decimal and 0x-hex numbers as numbers, the
// day-and-time stamp ("day 9, 05:24") in ISO 8601 ("---09T05:24"), anything
// else as text.
json TypedValue(const std::string& value) {
  const auto allOf = [](const std::string& text, size_t from, int (*pred)(int)) {
    if (text.size() <= from) return false;
    for (size_t i = from; i < text.size(); ++i)
      if (pred(static_cast<unsigned char>(text[i])) == 0) return false;
    return true;
  };
  if (allOf(value, 0, &isdigit) && value.size() <= 19) return std::stoull(value);
  if (value.rfind("0x", 0) == 0 && value.size() <= 18 && allOf(value, 2, &isxdigit))
    return std::stoull(value.substr(2), nullptr, 16);
  unsigned day = 0, hour = 0, minute = 0;
  char tail = 0;
  if (std::sscanf(value.c_str(), "day %u, %u:%u%c", &day, &hour, &minute, &tail) == 3)
    return Format("---%02uT%02u:%02u", day, hour, minute);
  return value;
}

json ResultJson(const FileResult& r, bool withFields) {
  json j = {{"file", r.file}, {"kind", r.KindOrUnknown()}, {"ok", r.ok}, {"problems", r.problems}};
  if (withFields) {
    json fields = json::object();
    for (const verify::Field& field : r.fields) fields[JsonKey(field.name)] = TypedValue(field.value);
    j["fields"] = fields;
    json fingerprints = json::array();
    for (const std::string& fp : r.fingerprints) {
      const size_t colon = fp.rfind(": ");
      if (colon == std::string::npos) {
        fingerprints.push_back({{"key", ""}, {"sha256", fp}});
      } else {
        fingerprints.push_back({{"key", JsonKey(fp.substr(0, colon))}, {"sha256", fp.substr(colon + 2)}});
      }
    }
    j["fingerprints"] = fingerprints;
    j["entries"] = r.entries;
  }
  return j;
}

// Every JSON document carries the layout's version and the tool's.
void PrintJson(const json& files) {
  const json document = {{"schema", kReportSchema}, {"tool", kProgramName}, {"version", kVersion}, {"files", files}};
  const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
}

// Why a file a report lists cannot be checked; empty when it can be read.
std::string ListedFileProblem(const std::string& file) {
  const std::string name = verify::DisplayName(file);
  switch (GetPathKind(file)) {
    case PathKind::Missing:
      return Format(kMsgListedFileMissing, name.c_str());
    case PathKind::File:
      break;
    case PathKind::Folder:
    case PathKind::Other:
      return Format(kMsgListedFileNotRegular, name.c_str());
  }
  if (InFile f; !f.Open(file)) {
    const std::string why = WhyUnreadable(file);
    return Format(kMsgListedFileUnreadable, name.c_str(), why.empty() ? kMsgCannotBeOpened : why.c_str());
  }
  return {};
}

// The key list and the upgrade archive's certificate a report names, where
// they were not given; the certificate only as it was when the run signed.
void ReportedKeysAndCertificate(const json& report, std::string& keys, std::string& androidCert,
                                std::vector<std::string>& mismatches) {
  if (keys.empty() && report.contains("key_list") && report["key_list"].is_object())
    keys = report["key_list"].value("path", "");
  if (!androidCert.empty() || !report.contains("archive") || !report["archive"].is_object() ||
      !report["archive"].contains("certificate") || !report["archive"]["certificate"].is_object())
    return;
  const json& certificate = report["archive"]["certificate"];
  const std::string cert = certificate.value("path", "");
  if (cert.empty()) return;
  if (std::string problem = ListedFileProblem(cert); !problem.empty()) {
    mismatches.push_back(std::move(problem));
  } else if (verify::FileSha256(cert) != certificate.value("sha256", "")) {
    mismatches.push_back(Format(kMsgListedFileDiffers, verify::DisplayName(cert).c_str()));
  } else {
    androidCert = cert;
  }
}

// The outputs a report lists, each there with its size and SHA-256; false
// when the list is not a report's.
bool ListedOutputs(const json& report, std::vector<std::string>& files, std::vector<std::string>& mismatches) {
  for (const json& output : report["outputs"]) {
    if (!output.is_object() || !output.contains("file") || !output["file"].is_string()) return false;
    const std::string file = output["file"];
    const uint64_t listedSize = output.value("size", uint64_t{0});
    const std::string listedSum = output.value("sha256", "");
    std::string problem = ListedFileProblem(file);
    InFile f;
    if (problem.empty() && !f.Open(file))
      problem = Format(kMsgListedFileUnreadable, verify::DisplayName(file).c_str(), kMsgCannotBeOpened);
    if (!problem.empty()) {
      mismatches.push_back(std::move(problem));
      continue;
    }
    files.push_back(file);
    if (f.Size() != listedSize) {
      mismatches.push_back(Format(kMsgListedFileSize, verify::DisplayName(file).c_str(),
                                  static_cast<unsigned long long>(f.Size()),
                                  static_cast<unsigned long long>(listedSize)));
    } else if (verify::FileSha256(file) != listedSum) {
      mismatches.push_back(Format(kMsgListedFileDiffers, verify::DisplayName(file).c_str()));
    }
  }
  return true;
}

// verify --report: the outputs a make report lists, each checked for its
// size and SHA-256 before it is verified; the key list and the upgrade
// archive's certificate the report names, unless given. False after a
// message when the report cannot be used.
bool ReadRunReport(const std::string& path, std::string& keys, std::string& androidCert,
                   std::vector<std::string>& files, std::vector<std::string>& mismatches) {
  InFile in;
  std::string text;
  if (!in.Open(path)) {
    const std::string why = WhyUnreadable(path);
    UsageError(Format(kMsgReportUnreadable, path.c_str(), why.empty() ? kMsgCannotBeOpened : why.c_str()));
    return false;
  }
  const uint64_t size = in.Size();
  if (size > 64u * 1024 * 1024) {
    UsageError(Format(kMsgReportTooLarge, path.c_str()));
    return false;
  }
  text.resize(static_cast<size_t>(size));
  if (!in.ReadExact(text.data(), text.size())) {
    UsageError(Format(kMsgReportReadFailed, path.c_str()));
    return false;
  }
  const json report = json::parse(text, nullptr, false);
  bool usable = !report.is_discarded() && report.is_object() && report.contains("outputs") &&
                report["outputs"].is_array();
  try {
    if (usable) {
      ReportedKeysAndCertificate(report, keys, androidCert, mismatches);
      usable = ListedOutputs(report, files, mismatches);
    }
  } catch (const json::exception&) {
    usable = false;  // a field of another type than make writes (a size in text, a path as a number)
  }
  if (!usable) UsageError(Format(kMsgNotAReport, path.c_str()));
  return usable;
}

}  // namespace

int RunVerify(const VerifyArgs& given) {
  VerifyArgs args = given;
  std::vector<std::string> mismatches;
  if (!args.report.empty()) {
    if (!args.files.empty()) return CommandUsageError("verify", kMsgFilesOrReport);
    if (!ReadRunReport(AbsolutePath(args.report), args.keys, args.androidCert, args.files, mismatches))
      return kExitUsage;
  }
  if (args.keys.empty()) return CommandUsageError("verify", kMsgKeysRequired);
  if (args.files.empty() && args.report.empty()) return CommandUsageError("verify", kMsgFileRequired);
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
      UsageLine(Format(kind == PathKind::Missing ? kMsgAndroidCertMissing : kMsgAndroidCertNotFile,
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
      UsageLine(Format(kMsgKeyPartitionNeedsBoard,
                       verify::DisplayName(file).c_str()));
    for (const std::string& line : cannotCheck) UsageLine(line);
    return kExitUsage;
  }
  bool allOk = mismatches.empty();
  if (!args.json)
    for (const std::string& line : mismatches) std::printf("%s\n", line.c_str());
  json array = json::array();
  for (const FileResult& r : results) {
    allOk = allOk && r.ok;
    if (args.json) {
      array.push_back(ResultJson(r, false));
    } else if (r.ok) {
      if (Output().quiet) continue;
      std::printf("OK %s: %s\n", verify::DisplayName(r.file).c_str(), r.KindOrUnknown().c_str());
    } else {
      std::printf("FAIL %s: %s: %s\n", verify::DisplayName(r.file).c_str(), r.KindOrUnknown().c_str(),
                  r.problems.empty() ? verify::kProbNoHeader : r.problems.front().c_str());
    }
  }
  if (args.json) {
    for (const std::string& line : mismatches) array.push_back({{"file", ""}, {"ok", false}, {"problems", {line}}});
    PrintJson(array);
  }
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
  sub->add_option("-k,--keys", o->args.keys,
                  "Key list file the outputs were signed with (with --report: default, the report's key list)");
  sub->add_option("--report", o->args.report,
                  "A report of make: check that exactly the files it lists are there with its sizes and SHA-256, "
                  "then verify each");
  sub->add_option("-b,--board", o->board, "Board type: 0 to 5 or its name, where the bytes cannot tell");
  sub->add_option("--android-cert", o->args.androidCert,
                  "Certificate of the Android signature (default: testkey.x509.pem beside the key list)");
  sub->add_flag("--json", o->args.json, "Print one JSON document instead of lines");
  sub->add_option("file", o->args.files, "Files to check");
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
  sub->add_flag("--json", o->json, "Print one JSON document instead of text");
  sub->add_option("file", o->files, "Files to inspect")->required();
  return {sub, [o] {
            int32_t board = -1;
            if (!BoardOption(o->board, board)) return kExitUsage;
            return RunInfo(board, o->json, o->files);
          }};
}

}  // namespace tarnel::cli
