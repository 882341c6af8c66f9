#include "verify/run_check.h"

#include "common/paths.h"
#include "common/text.h"
#include "package/upgrade_package.h"
#include "pipeline/key_partition.h"
#include "pipeline/make_driver.h"
#include "verify/reader.h"

namespace tarnel::verify {

std::vector<std::string> RunOutputs(const Workspace& ws) {
  const AppMembers& app = ws.app;
  const bool firstGen = IsFirstGeneration(app.m_nBoardType);
  std::vector<std::string> out;
  bool keyPartition = false;
  bool upgrade = false;
  for (const PartitionRow& row : ws.table.rows) {
    if (!row.checked) continue;
    if (EqualsNoCase(row.upgrade, kUpgradeYes)) upgrade = true;
    const std::string type = Trim(row.fileType);
    const std::string image = app.m_strOutputPath + row.outputName + ".img";
    if (EqualsNoCase(type, kFileTypeFastboot)) {
      out.push_back(image);
      keyPartition = firstGen;
    } else if (EqualsNoCase(type, kFileTypeNonFs) || EqualsNoCase(type, kFileTypeYaffs)) {
      out.push_back(image);
    } else if (EqualsNoCase(type, kFileTypeUbi) || (EqualsNoCase(type, kFileTypeExt4) && !firstGen)) {
      out.push_back(image);
      out.push_back(app.m_strOutputPath + row.outputName + "_Sign.img");
    } else if (EqualsNoCase(type, kFileTypeExt4)) {
      out.push_back(image);
    }
  }
  if (keyPartition) out.push_back(app.m_strOutputPath + kKeyPartImageName);
  if (upgrade) out.push_back(app.m_strOutputPath + kReleasePackageName);
  return out;
}

void ReadBackReporter::ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) {
  if (verify_ && (text == kMsgAllSigned || text == kMsgPackageDone)) {
    std::string failure;
    Keys keys;
    std::string why;
    if (!LoadKeys(ws_.app.m_strKeysFile, keys, why)) {
      failure = Format(kMsgReadBackKeys, why.c_str());
    } else {
      Options options;
      options.keys = &keys;
      options.board = ws_.app.m_nBoardType;
      options.androidCert = ws_.app.m_strInputDir + kAndroidCertName;
      for (const std::string& path : RunOutputs(ws_)) {
        const FileResult r = CheckFile(path, options);
        if (!r.ok) {
          failure = Format(kMsgReadBackFailed, path.c_str(),
                           r.problems.empty() ? r.KindOrUnknown().c_str() : r.problems.front().c_str());
          break;
        }
      }
    }
    if (!failure.empty()) {
      failed_ = true;
      closing_ = failure;
      inner_.ShowMessage(failure, caption, MsgIcon::Stop);
      return;
    }
  }
  closing_ = text;
  inner_.ShowMessage(text, caption, icon);
}

std::string FileSha256(const std::string& path) {
  FileSource src;
  uint8_t digest[32];
  if (!src.Open(path) || !Sha256Range(src, 0, src.Size(), digest)) return {};
  return Hex(digest, sizeof digest);
}

}  // namespace tarnel::verify
