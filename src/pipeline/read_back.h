// Reading a Make run's outputs back (`make --verify`): the last step of a
// successful run, before its closing message.
#pragma once

#include <string>

#include "common/model.h"
#include "common/reporter.h"
#include "pipeline/run_plan.h"

namespace tarnel {

// Reads every output of the plan back from disk and checks it with the run's
// own key list, board and Android certificate, reporting progress within the
// step over the outputs' bytes. Empty when all of them hold; otherwise the
// message naming the first file that does not (or why the check could not
// start).
[[nodiscard]] std::string ReadBackOutputs(const RunPlan& plan, const AppMembers& app, RunReporter& reporter);

}  // namespace tarnel
