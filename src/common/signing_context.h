// The state of one Make run, handed to every signer.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/model.h"
#include "common/reporter.h"
#include "common/secure.h"

namespace tarnel {

class Signer;  // signing/signer.h

class SigningContext {
 public:
  SigningContext(Workspace& workspace, RunReporter& reporter) : ws_(workspace), reporter_(reporter) {}
  ~SigningContext();
  SigningContext(const SigningContext&) = delete;
  SigningContext& operator=(const SigningContext&) = delete;

  uint32_t headerConstant = 0;  // set to 2 at the start of each run
  int32_t totalSteps = 0;
  int32_t doneSteps = 0;
  Key128 imageMacKey{};         // AES-128 key of the first-generation containers
  std::string fileType;         // File Type of the current row, trimmed
  std::string flashType;        // flash type of the current row's flash entry
  std::string upgradeFlashName; // Flash Name shared by the upgrade rows
  uint32_t pageSize = 0;
  uint32_t blockSize = 0;
  uint32_t spareSize = 0;
  bool keyPartitionWanted = false;
  uint32_t bootPageSize = 0;
  uint32_t bootBlockSize = 0;
  uint32_t bootSpareSize = 0;
  Key128 rootKey{};             // root key of the key partition encryption

  // The RSA signer of the run: the back end named by signerSpec ("" is the
  // key list), made when the run starts; pinSource asks for a token's PIN.
  std::string signerSpec;
  std::function<std::optional<std::string>(const std::string& tokenLabel)> pinSource;
  std::shared_ptr<Signer> signer;

  [[nodiscard]] AppMembers& App() { return ws_.app; }
  [[nodiscard]] const AppMembers& App() const { return ws_.app; }
  [[nodiscard]] Workspace& Ws() { return ws_; }
  [[nodiscard]] const Workspace& Ws() const { return ws_; }
  [[nodiscard]] RunReporter& Reporter() { return reporter_; }

  // A message box with the application's name as caption.
  void Show(const std::string& text, MsgIcon icon = MsgIcon::None) { reporter_.Show(text, icon); }
  void SetPos(int position) { reporter_.SetProgressPos(position); }
  // One step done: done steps + 1 and the bar follows.
  void StepDone() {
    ++doneSteps;
    reporter_.SetProgressPos(doneSteps);
  }
  // Progress within the current step: `done` of `total` bytes of a pass.
  void StepProgress(uint64_t done, uint64_t total) { reporter_.SetStepProgress(done, total); }
  // The same as a callback for a pass over `total` bytes (the streaming engine's).
  [[nodiscard]] std::function<void(uint64_t)> StepProgressOf(uint64_t total) {
    return [this, total](uint64_t done) { reporter_.SetStepProgress(done, total); };
  }

 private:
  Workspace& ws_;
  RunReporter& reporter_;
};

}  // namespace tarnel
