// The checks that open every Make run: chosen paths, complete rows, one input
// folder, and the output names (the step count is the run plan's).
#pragma once

#include "common/model.h"
#include "common/reporter.h"

namespace tarnel {

inline constexpr const char* kOutputNameChars =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_ ";
inline constexpr size_t kMaxOutputPathLength = 200;

[[nodiscard]] bool CheckMakeInputs(RunReporter& reporter, Workspace& ws);
[[nodiscard]] bool CheckOutputNames(RunReporter& reporter, const Workspace& ws);

}  // namespace tarnel
