#include "pipeline/row_checks.h"

#include <string_view>
#include <vector>

#include "common/paths.h"
#include "common/platform.h"
#include "common/text.h"
#include "pipeline/messages.h"

namespace tarnel {

bool CheckMakeInputs(RunReporter& reporter, Workspace& ws) {
  AppMembers& app = ws.app;
  if (app.m_strKeysFile.empty()) {
    reporter.Show(kMsgSelectKeysFile);
    return false;
  }
  if (app.m_strOutputPath.empty()) {
    reporter.Show(kMsgSelectOutputPath);
    return false;
  }
  const auto& rows = ws.table.rows;
  for (size_t i = 0; i < rows.size(); ++i) {
    const PartitionRow& row = rows[i];
    if (!row.checked) continue;
    const int rowNumber = static_cast<int>(i) + 1;
    const struct {
      std::string text;
      const char* message;
    } fields[] = {{Trim(row.outputName), kMsgInputOutputName},
                  {Trim(row.fileType), kMsgSelectFileType},
                  {Trim(row.flashName), kMsgSelectFlashName},
                  {Trim(row.upgrade), kMsgSelectUpgrade},
                  {Trim(row.unsignedFile), kMsgSelectUnsignedFile}};
    for (const auto& field : fields) {
      if (field.text.empty()) {
        reporter.Show(Format(field.message, rowNumber));
        return false;
      }
    }
    const std::string& unsignedFile = fields[4].text;
    if (!app.m_strInputDir.empty()) {
      if (HasSep(unsignedFile) && FolderPart(unsignedFile) != app.m_strInputDir) {
        reporter.Show(kMsgSameInputFolder);
        return false;
      }
    } else {
      app.m_strInputDir = FolderPart(unsignedFile);
    }
  }
  (void)MakeFolder(app.m_strAppDir + "Temp");
  const std::string defaultOutput = app.m_strAppDir + "Output" + std::string(kSepStr);
  if (EqualsNoCase(app.m_strOutputPath, defaultOutput)) (void)MakeFolder(app.m_strAppDir + "Output");
  return true;
}

bool CheckOutputNames(RunReporter& reporter, const Workspace& ws) {
  const std::string& outputPath = ws.app.m_strOutputPath;
  const std::string_view allowed = kOutputNameChars;
  std::vector<const std::string*> names;
  const auto& rows = ws.table.rows;
  for (size_t i = 0; i < rows.size(); ++i) {
    const PartitionRow& row = rows[i];
    if (!row.checked) continue;
    const int rowNumber = static_cast<int>(i) + 1;
    if (outputPath.size() + row.outputName.size() > kMaxOutputPathLength) {
      reporter.Show(Format(kMsgOutputNameTooLong, rowNumber));
      return false;
    }
    for (char c : row.outputName) {
      if (allowed.find(c) == std::string_view::npos) {
        reporter.Show(Format(kMsgInvalidOutputName, rowNumber));
        return false;
      }
    }
    names.push_back(&row.outputName);
  }
  for (size_t a = 0; a < names.size(); ++a) {
    for (size_t b = a + 1; b < names.size(); ++b) {
      if (EqualsNoCase(*names[a], *names[b])) {
        reporter.Show(Format(kMsgOutputNameRepeated, names[a]->c_str()));
        return false;
      }
    }
  }
  return true;
}

}  // namespace tarnel
