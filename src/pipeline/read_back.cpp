#include "pipeline/read_back.h"

#include <vector>

#include "common/files.h"
#include "common/text.h"
#include "pipeline/messages.h"
#include "verify/verify.h"

namespace tarnel {

std::string ReadBackOutputs(const RunPlan& plan, const AppMembers& app, RunReporter& reporter) {
  verify::Keys keys;
  std::string why;
  if (!verify::LoadKeys(app.m_strKeysFile, keys, why)) return Format(kMsgReadBackKeys, why.c_str());
  verify::Options options;
  options.keys = &keys;
  options.board = app.m_nBoardType;
  options.androidCert = plan.androidCertPath;

  const std::vector<std::string> outputs = plan.Outputs();
  std::vector<uint64_t> sizes;
  uint64_t total = 0;
  for (const std::string& path : outputs) {
    InFile in;
    sizes.push_back(in.Open(path) ? in.Size() : 0);
    total += sizes.back();
  }
  uint64_t done = 0;
  reporter.SetStepProgress(0, total);
  for (size_t i = 0; i < outputs.size(); ++i) {
    const verify::FileResult r = verify::CheckFile(outputs[i], options);
    if (!r.ok)
      return Format(kMsgReadBackFailed, outputs[i].c_str(),
                    r.problems.empty() ? r.KindOrUnknown().c_str() : r.problems.front().c_str());
    done += sizes[i];
    reporter.SetStepProgress(done, total);
  }
  return {};
}

}  // namespace tarnel
