// What a Make run will write and what it reads, known before anything is
// signed, so that no output replaces an input or another output of the run.
#pragma once

#include <string>
#include <vector>

#include "common/reporter.h"
#include "pipeline/run_plan.h"

namespace tarnel {

// Refuses, with a message naming both paths, an output of the plan that is
// the same file as one of its inputs or as another of its outputs (same
// device and inode once they exist, same folder and name otherwise, case
// folded where the folder folds case), and an input kept in the program
// folder's Temp, where the run writes its intermediates.
[[nodiscard]] bool CheckOutputsAgainstInputs(RunReporter& reporter, const RunPlan& plan);

}  // namespace tarnel
