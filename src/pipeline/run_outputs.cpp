#include "pipeline/run_outputs.h"

#include <optional>
#include <utility>

#include "common/model.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/text.h"
#include "package/upgrade_package.h"
#include "pipeline/key_partition.h"
#include "pipeline/make_driver.h"
#include "pipeline/messages.h"
#include "signing/section_signer.h"

namespace tarnel {

namespace {

std::string UnsignedPathOf(const AppMembers& app, const PartitionRow& row) {
  return HasSep(row.unsignedFile) ? row.unsignedFile : app.m_strInputDir + row.unsignedFile;
}

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

std::vector<std::string> PlannedOutputs(const Workspace& ws) {
  const AppMembers& app = ws.app;
  const bool firstGen = IsFirstGeneration(app.m_nBoardType);
  std::vector<std::string> out;
  bool keyPartition = false, package = false;
  for (const PartitionRow& row : ws.table.rows) {
    if (!row.checked) continue;
    if (EqualsNoCase(row.upgrade, kUpgradeYes)) package = true;
    const std::string type = Trim(row.fileType);
    const std::string image = app.m_strOutputPath + row.outputName + ".img";
    if (EqualsNoCase(type, kFileTypeFastboot)) {
      out.push_back(image);
      keyPartition = keyPartition || firstGen;
    } else if (EqualsNoCase(type, kFileTypeNonFs) || EqualsNoCase(type, kFileTypeYaffs)) {
      out.push_back(image);
    } else if (EqualsNoCase(type, kFileTypeUbi) || EqualsNoCase(type, kFileTypeExt4)) {
      out.push_back(image);
      if (EqualsNoCase(type, kFileTypeUbi) || !firstGen) out.push_back(SignFilePathFor(image));
    }
  }
  if (keyPartition) out.push_back(app.m_strOutputPath + kKeyPartImageName);
  if (package) out.push_back(app.m_strOutputPath + kReleasePackageName);
  return out;
}

std::vector<std::string> RunInputs(const SigningContext& ctx) {
  const AppMembers& app = ctx.App();
  std::vector<std::string> in;
  for (const PartitionRow& row : ctx.Ws().table.rows)
    if (row.checked) in.push_back(UnsignedPathOf(app, row));
  in.push_back(app.m_strKeysFile);
  if (!ctx.Ws().table.filePath.empty()) in.push_back(ctx.Ws().table.filePath);
  for (const char* name : {kCfgBinName, kTemplateName, kAndroidKeyName, kAndroidCertName})
    in.push_back(app.m_strInputDir + name);
  return in;
}

bool CheckOutputsAgainstInputs(SigningContext& ctx) {
  const std::vector<std::string> outputs = PlannedOutputs(ctx.Ws());
  const std::vector<std::string> inputs = RunInputs(ctx);
  std::vector<PathIdentity> outputIds, inputIds;
  for (const std::string& path : outputs) outputIds.push_back(IdentifyPath(path));
  for (const std::string& path : inputs) inputIds.push_back(IdentifyPath(path));
  CaseFolding folding;
  for (size_t o = 0; o < outputs.size(); ++o) {
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (SameFile(outputIds[o], inputIds[i], folding)) {
        ctx.Show(Format(kMsgOutputIsInput, outputs[o].c_str(), inputs[i].c_str()));
        return false;
      }
    }
    for (size_t earlier = 0; earlier < o; ++earlier) {
      if (SameFile(outputIds[o], outputIds[earlier], folding)) {
        ctx.Show(Format(kMsgOutputsCollide, outputs[earlier].c_str(), outputs[o].c_str()));
        return false;
      }
    }
  }
  return true;
}

}  // namespace tarnel
