// The partition table file: root "Tarnel_PartConfigs", one element per row
// with the attributes Sel, OutputName, FileType, FlashName, Upgrade, UnsignedFile.
#pragma once

#include <cstdint>
#include <string>

#include "common/model.h"
#include "common/reporter.h"

namespace tarnel {

inline constexpr const char* kPartitionConfigRoot = "Tarnel_PartConfigs";
inline constexpr const char* kPartitionConfigRow = "PartConfig";
inline constexpr const char* kDefaultPartitionConfigName = "PartConfig.xml";
inline constexpr const char* kCaptionError = "Error";
inline constexpr const char* kCaptionSaveTip = "Save Tip";

// Loads rows into `table` (emptied first once the root checks pass). On a
// failure after that the rows read so far stay. Clears m_bModified on success.
[[nodiscard]] bool LoadPartitionConfig(PartitionTable& table, int32_t boardType, RunReporter& reporter,
                                       const std::string& path);

// Writes the table all-or-nothing (nothing at all when it has no rows) and
// clears m_bModified. Returns false when the file could not be written; the
// table then stays marked as modified, so its changes are not taken as saved.
bool SavePartitionConfig(PartitionTable& table, const std::string& path);

}  // namespace tarnel
