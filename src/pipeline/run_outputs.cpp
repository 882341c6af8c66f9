#include "pipeline/run_outputs.h"

#include <optional>
#include <utility>

#include "common/platform.h"
#include "common/text.h"
#include "pipeline/messages.h"

namespace tarnel {

namespace {

// Folders whose case folding has been probed during this check.
class CaseFolding {
 public:
  bool Folds(const std::string& folder) {
    for (const auto& [name, folds] : known_)
      if (name == folder) return folds;
    const bool folds = FolderFoldsCase(folder);
    known_.emplace_back(folder, folds);
    return folds;
  }

 private:
  std::vector<std::pair<std::string, bool>> known_;
};

bool SameFile(const PathIdentity& a, const PathIdentity& b, CaseFolding& folding) {
  if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
  const bool sameFolder = a.folderKnown && b.folderKnown
                              ? a.folderDevice == b.folderDevice && a.folderInode == b.folderInode
                              : a.folder == b.folder;
  if (!sameFolder) return false;
  if (a.name == b.name) return true;
  return EqualsNoCase(a.name, b.name) && folding.Folds(a.folder);
}

}  // namespace

bool CheckOutputsAgainstInputs(RunReporter& reporter, const RunPlan& plan) {
  const std::vector<std::string> outputs = plan.Outputs();
  const std::vector<std::string>& inputs = plan.inputs;
  // Temp is the run's own: the boot areas, the packages, the UBI signature
  // and the key files are written there under names of its own, so an input
  // kept there could be overwritten before it is read.
  if (const PathIdentity temp = IdentifyPath(plan.tempDir); temp.exists) {
    for (const std::string& input : inputs) {
      const PathIdentity id = IdentifyPath(input);
      if (id.folderKnown && id.folderDevice == temp.device && id.folderInode == temp.inode) {
        reporter.Show(Format(kMsgInputInTempFolder, input.c_str(), plan.tempDir.c_str()));
        return false;
      }
    }
  }
  std::vector<PathIdentity> outputIds, inputIds;
  for (const std::string& path : outputs) outputIds.push_back(IdentifyPath(path));
  for (const std::string& path : inputs) inputIds.push_back(IdentifyPath(path));
  CaseFolding folding;
  for (size_t o = 0; o < outputs.size(); ++o) {
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (SameFile(outputIds[o], inputIds[i], folding)) {
        reporter.Show(Format(kMsgOutputIsInput, outputs[o].c_str(), inputs[i].c_str()));
        return false;
      }
    }
    for (size_t earlier = 0; earlier < o; ++earlier) {
      if (SameFile(outputIds[o], outputIds[earlier], folding)) {
        reporter.Show(Format(kMsgOutputsCollide, outputs[earlier].c_str(), outputs[o].c_str()));
        return false;
      }
    }
  }
  return true;
}

}  // namespace tarnel
