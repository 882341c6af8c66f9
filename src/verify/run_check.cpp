#include "verify/run_check.h"

#include "common/paths.h"
#include "common/text.h"
#include "package/upgrade_package.h"
#include "pipeline/key_partition.h"
#include "pipeline/run_plan.h"
#include "verify/reader.h"

namespace tarnel::verify {

void ReadBackReporter::ShowSuccess(const std::string& text, const std::string& caption, MsgIcon icon) {
  if (verify_) {
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
      for (const std::string& path : PlanRun(ws_).Outputs()) {
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
  inner_.ShowSuccess(text, caption, icon);
}

std::string FileSha256(const std::string& path) {
  FileSource src;
  uint8_t digest[32];
  if (!src.Open(path) || !Sha256Range(src, 0, src.Size(), digest)) return {};
  return Hex(digest, sizeof digest);
}

}  // namespace tarnel::verify
