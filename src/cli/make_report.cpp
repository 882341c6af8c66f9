#include "cli/make_report.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <nlohmann/json.hpp>

#include "build_info.h"
#include "cli/cli_common.h"
#include "cli/messages.h"
#include "common/files.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/stamps.h"
#include "common/text.h"
#include "config/burn_config.h"
#include "package/upgrade_package.h"
#include "signing/signer.h"
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

namespace {

nlohmann::json FileRecord(const std::string& path) {
  if (path.empty()) return nullptr;
  return {{"path", path}, {"sha256", verify::FileSha256(path)}};
}

// The upgrade archive's signing: what was asked for, what signed it (Java
// when the native signer refused the input), where the key was (never a
// token URI, which may carry a PIN) and the certificate, with the SHA-256 of
// its public key as `keys` records them.
nlohmann::json ArchiveRecord(const AppMembers& app, const RunOutcome& outcome) {
  const std::string certPath = app.m_strInputDir + kAndroidCertName;
  nlohmann::json certificate = FileRecord(certPath);
  struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
  };
  struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
  };
  const std::unique_ptr<BIO, BioFree> file(BIO_new_file(certPath.c_str(), "rb"));
  const std::unique_ptr<X509, X509Free> cert(file ? PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)
                                                  : nullptr);
  certificate["public_key_sha256"] =
      cert ? nlohmann::json(verify::PublicKeyFingerprint(X509_get0_pubkey(cert.get()))) : nlohmann::json(nullptr);
  return {{"requested", ArchiveSignerName(app.m_archiveSigner)},
          {"signer", outcome.archiveSigner ? nlohmann::json(ArchiveSignerName(*outcome.archiveSigner))
                                           : nlohmann::json(nullptr)},
          {"key", app.m_archiveKey.empty() ? "file" : "pkcs11"},
          {"certificate", certificate}};
}

// The kind of signer a signer text names; never the text itself (a URI may
// carry a PIN).
std::string SignerKind(const std::string& signerText) {
  if (signerText.empty() || signerText == kSignerKeyList) return "keylist";
  if (StartsWithNoCase(signerText, "pkcs11:")) return "pkcs11";
  if (StartsWithNoCase(signerText, "exec:")) return "exec";
  return "unknown";
}

// ISO 8601: "2026-12-09T05:24:28Z" for UTC, else with the local offset.
std::string Iso8601(std::time_t when, bool utc) {
  std::tm tm {};
  if (utc ? gmtime_r(&when, &tm) == nullptr : localtime_r(&when, &tm) == nullptr) return {};
  char text[40];
  if (std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%dT%H:%M:%S%z", &tm) == 0) return {};
  std::string out = text;
  if (!utc && out.size() > 2) out.insert(out.size() - 2, ":");  // +0100 -> +01:00
  return out;
}

// The instant the headers' stamps are taken from.
nlohmann::json TimeStampRecord(std::time_t runStart) {
  if (const std::optional<std::time_t> epoch = SourceDateEpoch())
    return {{"source", "SOURCE_DATE_EPOCH"}, {"time", Iso8601(*epoch, true)}};
  return {{"source", "clock"}, {"time", Iso8601(runStart, false)}};
}

nlohmann::json BaseReport(const Workspace& ws, const LoggingReporter& log, const ReportRequest& request) {
  const AppMembers& app = ws.app;
  nlohmann::json report;
  report["schema"] = kReportSchema;
  report["tool"] = kProgramName;
  report["version"] = kVersion;
  report["board"] = {{"index", app.m_nBoardType},
                     {"name", app.m_nBoardType >= 0 && app.m_nBoardType < static_cast<int32_t>(kBoardTypeNames.size())
                                  ? std::string(kBoardTypeNames[static_cast<size_t>(app.m_nBoardType)])
                                  : std::string()}};
  report["table"] = FileRecord(request.tablePath);
  report["key_list"] = FileRecord(request.keysPath);
  nlohmann::json keys = nlohmann::json::array();
  verify::Keys loaded;
  if (std::string ignored; !request.keysPath.empty() && verify::LoadKeys(request.keysPath, loaded, ignored)) {
    keys.push_back({{"id", "external"}, {"lines", "1-8"}, {"sha256", verify::PublicKeyFingerprint(loaded.external.get())}});
    keys.push_back({{"id", "root"}, {"lines", "11-18"}, {"sha256", verify::PublicKeyFingerprint(loaded.root.get())}});
  }
  report["keys"] = keys;
  nlohmann::json messages = nlohmann::json::array();
  for (const LoggingReporter::Message& m : log.Messages()) {
    nlohmann::json entry = {{"text", m.text}};
    if (!m.detail.empty()) entry["detail"] = m.detail;
    messages.push_back(entry);
  }
  report["messages"] = messages;
  report["message"] = log.Messages().empty() ? std::string() : log.Messages().back().text;
  return report;
}

// Writes the report where it was asked for; false after a message when it
// cannot be written.
bool Deliver(const nlohmann::json& report, const ReportRequest& request, const ReportTarget& target) {
  const std::string text = report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  bool ok = true;
  std::string why;
  if (request.json) {
    const ReportTarget out{ReportTarget::Kind::Stdout, {}};
    if (!WriteReport(out, text, why)) {
      UsageError(Format(kMsgReportWriteFailed, "-", why.c_str()));
      ok = false;
    }
  }
  if (!request.reportPath.empty() && !WriteReport(target, text, why)) {
    UsageError(Format(kMsgReportWriteFailed, target.kind == ReportTarget::Kind::Stdout ? "-" : target.path.c_str(),
                      why.c_str()));
    ok = false;
  }
  return ok;
}

}  // namespace

int RunMakeChecked(Workspace& ws, LoggingReporter& log, const RunOptions& options, const ReportRequest& request) {
  const ReportTarget target = ResolveReportTarget(request.reportPath);
  const std::time_t runStart = std::time(nullptr);
  // The report is one more output of the run: refused, before anything is
  // written, where it would replace an input or another output.
  if (!request.reportPath.empty() && !CheckReportTarget(log, ws, target)) return kExitFailed;
  const RunOutcome outcome = RunMake(ws, log, options);
  const bool success = outcome.Succeeded();
  const int status = success ? kExitOk : kExitFailed;
  if (!request.Wanted()) return status;

  nlohmann::json report = BaseReport(ws, log, request);
  report["signer"] = SignerKind(options.signerSpec);
  report["header_paths"] = ws.app.m_headerPaths == HeaderPaths::Name ? "name" : "full";
  report["time_stamp"] = TimeStampRecord(runStart);
  const RunPlan plan = PlanRun(ws);
  if (plan.package.wanted) report["archive"] = ArchiveRecord(ws.app, outcome);
  // Every output the run wrote; after a failure, those already in place
  // (written since the run started).
  nlohmann::json outputs = nlohmann::json::array();
  verify::Options structure;
  structure.board = ws.app.m_nBoardType;
  for (const std::string& path : plan.Outputs()) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (!success && st.st_mtime < runStart) continue;
    const verify::FileResult r = verify::CheckFile(path, structure);
    outputs.push_back({{"file", path}, {"kind", r.KindOrUnknown()}, {"size", static_cast<uint64_t>(st.st_size)},
                       {"sha256", verify::FileSha256(path)}});
  }
  report["outputs"] = outputs;
  report["message"] = outcome.message;
  if (!success) report["cause"] = outcome.message;
  report["exit_status"] = status;
  return Deliver(report, request, target) ? status : kExitFailed;
}

int ReportEarlyEnd(const Workspace& ws, const LoggingReporter& log, const ReportRequest& request, int status) {
  if (!request.Wanted()) return status;
  const ReportTarget target = ResolveReportTarget(request.reportPath);
  if (target.kind != ReportTarget::Kind::Stdout && !request.reportPath.empty()) {
    // The run's plan is not known yet: the files named on the command line
    // are the inputs the report must not replace.
    const PathIdentity report = IdentifyPath(target.path);
    for (const std::string& input : {request.tablePath, request.keysPath}) {
      if (!input.empty() && SameFile(report, IdentifyPath(input))) {
        UsageError(Format(kMsgOutputIsInput, target.path.c_str(), input.c_str()));
        return status;
      }
    }
  }
  nlohmann::json report = BaseReport(ws, log, request);
  report["outputs"] = nlohmann::json::array();
  report["cause"] = report["message"];
  report["exit_status"] = status;
  return Deliver(report, request, target) ? status : kExitFailed;
}

}  // namespace tarnel::cli
