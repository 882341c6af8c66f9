// Placeholder until the configuration files land.
#include "config/burn_config.h"
#include "config/flash_config.h"
#include "config/partition_config.h"

namespace tarnel {
std::string FlashConfigPath(const std::string& appDir) { return appDir + "Config/FlashConfig.xml"; }
bool LoadFlashConfig(FlashTable&, RunReporter&, const std::string&) { return false; }
std::vector<std::string> FillFlashNameList(const std::string&) { return {}; }
int32_t ParseFlashSize(const std::string&) { return 0; }
int32_t ParseFlashInteger(const std::string&) { return 0; }
bool LoadPartitionConfig(PartitionTable&, int32_t, RunReporter&, const std::string&) { return false; }
bool SavePartitionConfig(PartitionTable&, const std::string&) { return false; }
int32_t ReadJavaMemory(const std::string&) { return 1; }
}  // namespace tarnel
