// The per-user settings of the window: group "Tarnel" of the application's
// QSettings. They only seed the file choosers.
#pragma once

#include <QString>

namespace tarnel::app {

inline constexpr const char* kSettingsGroup = "Tarnel";
inline constexpr const char* kSettingConfigFile = "ConfigFile";
inline constexpr const char* kSettingKeysFile = "KeysFile";
inline constexpr const char* kSettingOutputPath = "OutputPath";

[[nodiscard]] QString ReadProfileString(const char* key, const QString& defaultValue = QString());
void WriteProfileString(const char* key, const QString& value);

}  // namespace tarnel::app
