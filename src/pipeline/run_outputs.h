// What a Make run will write and what it reads, known before anything is
// signed, so that no output replaces an input or another output of the run.
#pragma once

#include <string>
#include <vector>

#include "common/signing_context.h"

namespace tarnel {

// Every file the run writes under the output path, in the order the run
// writes them: each signed row's image (and its signature file where the
// row has one), the key partition, the release package.
[[nodiscard]] std::vector<std::string> PlannedOutputs(const Workspace& ws);

// Every file the run reads from the user: the checked rows' unsigned files,
// the key list, the partition table, and the input folder's fixed files.
[[nodiscard]] std::vector<std::string> RunInputs(const SigningContext& ctx);

// Refuses, with a message naming both paths, an output that is the same
// file as an input or as another output (same device and inode once they
// exist, same folder and name otherwise, case folded where the folder folds
// case).
[[nodiscard]] bool CheckOutputsAgainstInputs(SigningContext& ctx);

}  // namespace tarnel
