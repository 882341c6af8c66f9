#include "cli/make_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "cli/cli_common.h"
#include "cli/messages.h"
#include "common/files.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/text.h"
#include "pipeline/make_driver.h"
#include "pipeline/messages.h"
#include "pipeline/run_plan.h"
#include "verify/run_check.h"
#include "verify/verify.h"

namespace tarnel::cli {

namespace {

// The canonical form of an existing path; empty when it cannot be resolved.
std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// True when `path` is `folder` or lies under it (both canonical).
bool Within(const std::string& path, const std::string& folder) {
  if (folder.empty() || path.size() < folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  return path.size() == folder.size() || path[folder.size()] == '/' || folder == "/";
}

}  // namespace

ReportTarget ResolveReportTarget(const std::string& option) {
  ReportTarget target;
  if (option == "-") {
    target.kind = ReportTarget::Kind::Stdout;
    return target;
  }
  target.path = AbsolutePath(option);
  struct stat st {};
  if (::stat(target.path.c_str(), &st) != 0) return target;  // a new file (or a dangling link)
  // The process's own descriptors (/dev/stdout, /dev/fd/N) stay what the
  // shell made them, even when that is a regular file.
  if (!S_ISREG(st.st_mode) || target.path.rfind("/dev/", 0) == 0 || target.path.rfind("/proc/", 0) == 0) {
    target.kind = ReportTarget::Kind::Direct;
    return target;
  }
  // A link to a regular file: the file is replaced, the link stays.
  if (const std::string real = RealPath(target.path); !real.empty()) target.path = real;
  return target;
}

bool CheckReportTarget(RunReporter& reporter, const Workspace& ws, const ReportTarget& target) {
  if (target.kind == ReportTarget::Kind::Stdout) return true;
  if (IsFolder(target.path)) {
    reporter.Show(Format(kMsgReportIsFolder, target.path.c_str()));
    return false;
  }
  const PathIdentity report = IdentifyPath(target.path);
  const RunPlan plan = PlanRun(ws);
  for (const std::string& input : plan.inputs) {
    if (SameFile(report, IdentifyPath(input))) {
      reporter.Show(Format(kMsgOutputIsInput, target.path.c_str(), input.c_str()));
      return false;
    }
  }
  for (const std::string& output : plan.Outputs()) {
    if (SameFile(report, IdentifyPath(output))) {
      reporter.Show(Format(kMsgOutputsCollide, output.c_str(), target.path.c_str()));
      return false;
    }
  }
  if (target.kind == ReportTarget::Kind::Replace) {
    // The program folder's files (Config, jre, Temp, BurnConfig.ini, the
    // lock files) are not the report's to replace; its Output folder is
    // where --default-output writes, and a report beside those outputs is
    // fine.
    const std::string appDir = RealPath(ws.app.m_strAppDir);
    const std::string folder = RealPath(FolderPart(target.path));
    if (!appDir.empty() && !folder.empty() && Within(folder, appDir) &&
        !Within(folder, RealPath(ws.app.m_strAppDir + "Output"))) {
      reporter.Show(Format(kMsgReportInProgramFolder, target.path.c_str(), ws.app.m_strAppDir.c_str()));
      return false;
    }
  }
  return true;
}

bool WriteReport(const ReportTarget& target, const std::string& text, std::string& why) {
  switch (target.kind) {
    case ReportTarget::Kind::Stdout: {
      const bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
      if (!ok) why = std::strerror(errno);
      return ok;
    }
    case ReportTarget::Kind::Direct: {
      const int fd = ::open(target.path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) {
        why = std::strerror(errno);
        return false;
      }
      size_t done = 0;
      while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          why = std::strerror(errno);
          ::close(fd);
          return false;
        }
        done += static_cast<size_t>(n);
      }
      if (::close(fd) != 0 && errno != EINTR) {
        why = std::strerror(errno);
        return false;
      }
      return true;
    }
    case ReportTarget::Kind::Replace: {
      OutFile out;
      errno = 0;
      if (out.Create(target.path) && out.Write(text.data(), text.size()) && out.Commit()) return true;
      why = errno != 0 ? std::strerror(errno) : "write failed";
      return false;
    }
  }
  return false;
}

int RunMakeChecked(Workspace& ws, RunReporter& reporter, const RunOptions& options, const std::string& reportPath) {
  const ReportTarget target = ResolveReportTarget(reportPath);
  // The report is one more output of the run: refused, before anything is
  // written, where it would replace an input or another output.
  if (!reportPath.empty() && !CheckReportTarget(reporter, ws, target)) return kExitFailed;
  const RunOutcome outcome = RunMake(ws, reporter, options);
  const bool success = outcome.Succeeded();
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
      const verify::FileResult r = verify::CheckFile(path, structure);
      InFile in;
      const uint64_t size = in.Open(path) ? in.Size() : 0;
      outputs.push_back({{"file", path}, {"kind", r.KindOrUnknown()}, {"size", size},
                         {"sha256", verify::FileSha256(path)}});
    }
  }
  report["outputs"] = outputs;
  nlohmann::json keys = nlohmann::json::array();
  verify::Keys loaded;
  if (std::string ignored; !app.m_strKeysFile.empty() && verify::LoadKeys(app.m_strKeysFile, loaded, ignored)) {
    keys.push_back({{"key", "external (key list lines 1-8)"}, {"sha256", verify::PublicKeyFingerprint(loaded.external.get())}});
    keys.push_back({{"key", "root (key list lines 11-18)"}, {"sha256", verify::PublicKeyFingerprint(loaded.root.get())}});
  }
  report["keys"] = keys;
  report["message"] = outcome.message;
  report["exit_status"] = status;

  const std::string text = report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  std::string why;
  if (!WriteReport(target, text, why)) {
    UsageError(Format(kMsgReportWriteFailed, target.kind == ReportTarget::Kind::Stdout ? "-" : target.path.c_str(),
                      why.c_str()));
    return kExitFailed;
  }
  return status;
}

}  // namespace tarnel::cli
