// Config/FlashConfig.xml: the flash devices a board may carry.
#pragma once

#include <string>
#include <vector>

#include "common/model.h"
#include "common/reporter.h"

namespace tarnel {

inline constexpr const char* kFlashConfigRoot = "FlashConfigs";

// m_strAppDir + "Config" + separator + "FlashConfig.xml"
[[nodiscard]] std::string FlashConfigPath(const std::string& appDir);

// Fills `table` (appending, in file order). Problems are reported through the
// reporter; returns false when a message was shown.
bool LoadFlashConfig(FlashTable& table, RunReporter& reporter, const std::string& path);

// The Flash Name options: first attribute of every entry that has one, in
// file order; empty when the file is unreadable or its root is not "FlashConfigs".
[[nodiscard]] std::vector<std::string> FillFlashNameList(const std::string& path);

// Size syntax ("2K", "128K", "1M", "2048"): leading integer, then << 10 when the
// text holds a K, then << 20 when it holds an M; 32-bit arithmetic. A leading
// number beyond the 32-bit range reads as the limit ("99999999999" is
// 2147483647); the shifts keep the low 32 bits ("-4K" is -4096, "1KM" 1 << 30).
[[nodiscard]] int32_t ParseFlashSize(const std::string& text);
// Plain integer: leading decimal integer, held to the 32-bit range.
[[nodiscard]] int32_t ParseFlashInteger(const std::string& text);

}  // namespace tarnel
