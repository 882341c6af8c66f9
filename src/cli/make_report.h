// The record of a Make run (`make --report <file>`): where it may go, and
// writing it.
#pragma once

#include <functional>
#include <string>

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

// The Make run with `make --report <file>`: the report records the run's
// outcome. Returns the exit status.
[[nodiscard]] int RunMakeChecked(Workspace& ws, RunReporter& reporter, const RunOptions& options,
                                 const std::string& reportPath);

}  // namespace tarnel::cli
