#include "config/partition_config.h"

#include <tinyxml2.h>

#include "common/files.h"
#include "common/paths.h"
#include "common/text.h"
#include "config/xml_file.h"
#include "config/messages.h"

namespace tarnel {

namespace {

constexpr size_t kRowAttributes = 6;  // Sel, OutputName, FileType, FlashName, Upgrade, UnsignedFile
constexpr const char* kDeclaration = "xml version=\"1.0\" encoding=\"GB2312\"";
constexpr const char* kAttributeNames[kRowAttributes] = {"Sel",     "OutputName", "FileType",
                                                         "FlashName", "Upgrade",  "UnsignedFile"};

// The message when a File Type value is not allowed on the board, or nullptr.
// The comparison is exact and case-sensitive, so "yaffs File System" as the
// editor offers it is not refused.
const char* BoardRefusal(int32_t boardType, const std::string& fileType) {
  if (boardType >= 2 && boardType <= 5 && fileType == kFileTypeYaffs) return kMsgRa200NoYaffs;
  if (boardType == 0 && fileType == kFileTypeUbi) return kMsgRa100NoUbi;
  if (boardType == 1 && fileType == kFileTypeUbi) return kMsgSb300NoUbi;
  return nullptr;
}

// A cell as it is stored: trimmed, and only the part after the last '\' or '/'.
std::string StoredText(const std::string& cell) { return BareFileName(Trim(cell)); }

}  // namespace

bool LoadPartitionConfig(PartitionTable& table, int32_t boardType, RunReporter& reporter, const std::string& path) {
  tinyxml2::XMLDocument doc;
  if (std::string why; !config::LoadXmlFile(path, doc, why)) {
    reporter.ShowDetail(kMsgOpenPartitionConfigFailed, path + ": " + why);
    return false;
  }
  const tinyxml2::XMLElement* root = doc.FirstChildElement();
  if (root == nullptr) {
    reporter.Show(kMsgReadPartitionConfigFailed);
    return false;
  }
  if (std::string_view(root->Name()) != kPartitionConfigRoot) {
    reporter.Show(kMsgInvalidPartitionConfig);
    return false;
  }

  table.rows.clear();
  table.m_nCurRow = -1;
  table.m_nPrevRow = -1;
  const std::string folder = FolderPart(path);
  for (const tinyxml2::XMLElement* element = root->FirstChildElement(); element != nullptr;
       element = element->NextSiblingElement()) {
    if (table.rows.size() >= kMaxPartitionRows) {
      reporter.Show(kMsgOnly64Files);
      return false;
    }
    const std::vector<std::string> values = config::AttributesByPosition(*element, kRowAttributes);
    PartitionRow& row = table.rows.emplace_back();
    row.checked = values[0] == "1";
    row.outputName = values[1];
    if (const char* refusal = BoardRefusal(boardType, values[2])) {
      reporter.ShowMessage(refusal, kCaptionError, MsgIcon::Stop);
      return false;
    }
    row.fileType = values[2];
    row.flashName = values[3];
    row.upgrade = values[4];
    // Unsigned files are looked for next to the table they were loaded from.
    const std::string unsignedName = Trim(values[5]);
    if (!unsignedName.empty()) row.unsignedFile = folder + BareFileName(unsignedName);
  }
  table.m_bModified = false;
  table.filePath = path;
  return true;
}

bool SavePartitionConfig(PartitionTable& table, const std::string& path) {
  if (table.rows.empty()) return true;

  tinyxml2::XMLDocument doc;
  doc.InsertEndChild(doc.NewDeclaration(kDeclaration));
  tinyxml2::XMLElement* root = doc.NewElement(kPartitionConfigRoot);
  doc.InsertEndChild(root);
  for (const PartitionRow& row : table.rows) {
    tinyxml2::XMLElement* element = doc.NewElement(kPartitionConfigRow);
    const std::string values[kRowAttributes] = {row.checked ? "1" : "0",      StoredText(row.outputName),
                                                StoredText(row.fileType),   StoredText(row.flashName),
                                                StoredText(row.upgrade),    StoredText(row.unsignedFile)};
    for (size_t i = 0; i < kRowAttributes; ++i) element->SetAttribute(kAttributeNames[i], values[i].c_str());
    root->InsertEndChild(element);
  }
  tinyxml2::XMLPrinter printer;
  doc.Print(&printer);

  // A text that cannot be encoded, or a file that cannot be written, leaves
  // the table marked as modified: the changes are not on disk.
  std::string bytes;
  if (!config::EncodeForGb2312File(std::string_view(printer.CStr(), static_cast<size_t>(printer.CStrSize()) - 1),
                                   bytes))
    return false;
  OutFile out;
  if (!out.Create(path) || !out.Write(bytes.data(), bytes.size()) || !out.Commit()) return false;
  table.m_bModified = false;
  table.filePath = path;
  return true;
}

}  // namespace tarnel
