// Reading a Make run's outputs back: which files a successful run wrote, and
// a reporter that checks them before the closing success message reaches
// the person (`tarnel-cli make --verify`).
#pragma once

#include <string>
#include <vector>

#include "common/model.h"
#include "common/reporter.h"
#include "verify/verify.h"

namespace tarnel::verify {

// Shown instead of the success message when an output does not read back.
inline constexpr const char* kMsgReadBackFailed = "Read-back check failed for %s: %s";
inline constexpr const char* kMsgReadBackKeys = "Read-back check cannot start: %s";

// Passes everything on to `inner`; when enabled, the closing success message
// is held back until every output of the run has been read back from disk
// and verified with the run's own key list, board and Android certificate.
// A mismatch shows one message naming the file instead.
class ReadBackReporter : public RunReporter {
 public:
  ReadBackReporter(RunReporter& inner, const Workspace& ws, bool verify) : inner_(inner), ws_(ws), verify_(verify) {}
  void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override {
    closing_ = text;
    inner_.ShowMessage(text, caption, icon);
  }
  void ShowMessageDetail(const std::string& text, const std::string& detail, const std::string& caption,
                         MsgIcon icon) override {
    closing_ = text;
    inner_.ShowMessageDetail(text, detail, caption, icon);
  }
  void ShowSuccess(const std::string& text, const std::string& caption, MsgIcon icon) override;
  void SetProgressRange(int maximum) override { inner_.SetProgressRange(maximum); }
  void SetProgressPos(int position) override { inner_.SetProgressPos(position); }
  void Pause(int milliseconds) override { inner_.Pause(milliseconds); }
  void SetStepProgress(uint64_t done, uint64_t total) override { inner_.SetStepProgress(done, total); }
  void SetStepName(const std::string& name) override { inner_.SetStepName(name); }

  // True when the run's success message was replaced by a read-back failure.
  [[nodiscard]] bool ReadBackFailed() const { return failed_; }
  // The last message shown to the person.
  [[nodiscard]] const std::string& ClosingMessage() const { return closing_; }

 private:
  RunReporter& inner_;
  const Workspace& ws_;
  bool verify_;
  bool failed_ = false;
  std::string closing_;
};

// SHA-256 of a whole file, lower-case hex; empty when it cannot be read.
[[nodiscard]] std::string FileSha256(const std::string& path);

}  // namespace tarnel::verify
