#include "common/model.h"

#include "common/paths.h"
#include "common/text.h"

namespace tarnel {

std::string AppMembers::TempDir() const { return m_strAppDir + "Temp" + std::string(kSepStr); }

const tagFlashData* FindFlash(const FlashTable& table, std::string_view name) {
  for (const tagFlashData& entry : table)
    if (EqualsNoCase(entry.strFlashName, name)) return &entry;
  return nullptr;
}

}  // namespace tarnel
