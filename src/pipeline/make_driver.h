// The Make run: checks, the row loop with one signer per File Type and board
// generation, the key partition, the upgrade package, and one closing message.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/run_outcome.h"
#include "common/model.h"
#include "common/reporter.h"
#include "pipeline/run_plan.h"
#include "signing/signer.h"

namespace tarnel {

inline constexpr const char* kTempLockName = ".tarnel.lock";
inline constexpr const char* kCfgBinName = "cfg.bin";
inline constexpr int kSuccessPauseMs = 800;

// What a front end chooses for one run.
struct RunOptions {
  // The RSA signer's text ("" is the key list) and the way to a token's PIN.
  std::string signerSpec;
  PinSource pinSource;
  // Every output is read back and checked before the success message.
  bool readBack = false;
  // How long to wait for a program or output folder that another run holds:
  // 0 not at all (the run stops at once), a negative value without end.
  int lockWaitSeconds = 0;
  // Told the folder when the run starts to wait for it.
  std::function<void(const std::string& folder)> waiting;
};

// The whole run over `ws` (whose input folder the row checks may settle).
// Every message and progress step goes to `reporter`, which hears
// RunFinished with the outcome last.
RunOutcome RunMake(Workspace& ws, RunReporter& reporter, const RunOptions& options = {});

}  // namespace tarnel
