// What every signer of a run shares: the reporter with the progress bar, the
// run's RSA signer, and where the run keeps its temporary files and reads its
// key list. Keys and geometry are not here: each signer is handed those it
// uses.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/model.h"
#include "common/reporter.h"

namespace tarnel {

class Signer;      // signing/signer.h
struct PinPrompt;  // signing/signer.h

class RunServices {
 public:
  // The services of a run over `ws`: its key lines, Temp folder and key list
  // file are read from it as they stand when asked for.
  RunServices(Workspace& ws, RunReporter& reporter) : reporter_(reporter), ws_(ws) {}
  ~RunServices();
  RunServices(const RunServices&) = delete;
  RunServices& operator=(const RunServices&) = delete;

  [[nodiscard]] RunReporter& Reporter() { return reporter_; }
  // A message box with the application's name as caption.
  void Show(const std::string& text, MsgIcon icon = MsgIcon::None) { reporter_.Show(text, icon); }
  // The same with a detail line naming the file and the reason.
  void ShowDetail(const std::string& text, const std::string& detail, MsgIcon icon = MsgIcon::None) {
    reporter_.ShowDetail(text, detail, icon);
  }
  void SetPos(int position) { reporter_.SetProgressPos(position); }
  // One step done: done steps + 1 and the bar follows.
  void StepDone() {
    ++doneSteps_;
    reporter_.SetProgressPos(doneSteps_);
  }
  [[nodiscard]] int DoneSteps() const { return doneSteps_; }
  // Progress within the current step: `done` of `total` bytes of a pass.
  void StepProgress(uint64_t done, uint64_t total) { reporter_.SetStepProgress(done, total); }
  // The same as a callback for a pass over `total` bytes (the streaming engine's).
  [[nodiscard]] std::function<void(uint64_t)> StepProgressOf(uint64_t total) {
    return [this, total](uint64_t done) { reporter_.SetStepProgress(done, total); };
  }

  [[nodiscard]] const KeyLines& Keys() const { return ws_.keyLines; }
  // The key lines themselves, for the signer that wipes the private lines it no longer needs.
  [[nodiscard]] KeyLines& Keys() { return ws_.keyLines; }
  [[nodiscard]] std::string TempDir() const { return ws_.app.TempDir(); }
  [[nodiscard]] const std::string& KeysFile() const { return ws_.app.m_strKeysFile; }
  // A path as the signed image headers store it: in full, or its bare file
  // name when the run stores names.
  [[nodiscard]] std::string HeaderPath(const std::string& path) const;

  // The RSA signer of the run: the back end named by signerSpec ("" is the
  // key list), made when the run starts; pinSource asks for a token's PIN.
  std::string signerSpec;
  std::function<std::optional<std::string>(const PinPrompt& prompt)> pinSource;
  std::shared_ptr<Signer> signer;

 private:
  RunReporter& reporter_;
  Workspace& ws_;
  int doneSteps_ = 0;
};

}  // namespace tarnel
