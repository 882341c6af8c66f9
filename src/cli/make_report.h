// The record of a Make run (`make --report <file>`): where it may go, and
// writing it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/reporter.h"
#include "common/model.h"
#include "pipeline/make_driver.h"

namespace tarnel::cli {

// Where a report goes. Standard output for "-"; an existing file that is not
// a regular one (a FIFO, a terminal, /dev/stdout) is written to directly;
// anything else is a regular file written to a temporary sibling and renamed
// into place, the link's target when the path is a link.
struct ReportTarget {
  enum class Kind { Stdout, Direct, Replace };
  Kind kind = Kind::Replace;
  std::string path;  // as given, made absolute; the link's target for Replace
};
[[nodiscard]] ReportTarget ResolveReportTarget(const std::string& option);

// Refuses, with the message of the other output clashes, a report that would
// replace one of the run's inputs or outputs or a file of the program folder
// (its Output folder excepted). Shown through the reporter; nothing is
// written.
[[nodiscard]] bool CheckReportTarget(RunReporter& reporter, const Workspace& ws, const ReportTarget& target);

// Writes `text`; false with the system's reason in `why`.
[[nodiscard]] bool WriteReport(const ReportTarget& target, const std::string& text, std::string& why);

// Passes everything on to `inner` and keeps every message of the run, in
// order, for the report.
class LoggingReporter : public RunReporter {
 public:
  struct Message {
    std::string text;
    std::string detail;
  };
  explicit LoggingReporter(RunReporter& inner) : inner_(inner) {}
  // A message with its detail may arrive as two lines (through a reporter
  // that does not keep them apart): the second line is the detail.
  void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override {
    const size_t newline = text.find('\n');
    if (newline == std::string::npos) {
      messages_.push_back({text, {}});
    } else {
      messages_.push_back({text.substr(0, newline), text.substr(newline + 1)});
    }
    inner_.ShowMessage(text, caption, icon);
  }
  void ShowMessageDetail(const std::string& text, const std::string& detail, const std::string& caption,
                         MsgIcon icon) override {
    messages_.push_back({text, detail});
    inner_.ShowMessageDetail(text, detail, caption, icon);
  }
  void SetProgressRange(int maximum) override { inner_.SetProgressRange(maximum); }
  void SetProgressPos(int position) override { inner_.SetProgressPos(position); }
  void Pause(int milliseconds) override { inner_.Pause(milliseconds); }
  void SetStepProgress(uint64_t done, uint64_t total) override { inner_.SetStepProgress(done, total); }
  void SetStepName(const std::string& name) override { inner_.SetStepName(name); }
  void RunFinished(const RunOutcome& outcome) override { inner_.RunFinished(outcome); }
  [[nodiscard]] const std::vector<Message>& Messages() const { return messages_; }

 private:
  RunReporter& inner_;
  std::vector<Message> messages_;
};

// What `make` was asked to record: --report <file> and/or --json (the
// report on standard output), and the files named on the command line.
struct ReportRequest {
  std::string reportPath;
  bool json = false;
  std::string tablePath;  // absolute
  std::string keysPath;   // absolute; empty when --keys was empty
  [[nodiscard]] bool Wanted() const { return json || !reportPath.empty(); }
};

// The Make run with `make --report` or `--json`: the report records the
// run's outcome. Returns the exit status.
[[nodiscard]] int RunMakeChecked(Workspace& ws, LoggingReporter& log, const RunOptions& options,
                                 const ReportRequest& request);

// The report of a run that ended before it started (a file that did not
// load, the program folder missing): the board, the files, the messages.
// Returns `status`, or 1 when the report cannot be written.
[[nodiscard]] int ReportEarlyEnd(const Workspace& ws, const LoggingReporter& log, const ReportRequest& request,
                                 int status);

}  // namespace tarnel::cli
