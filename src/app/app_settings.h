// The per-user settings of the window: group "Tarnel" of the application's
// QSettings. They only seed the file choosers.
#pragma once

#include <QString>
#include <QVariant>

namespace tarnel::app {

inline constexpr const char* kSettingsGroup = "Tarnel";
inline constexpr const char* kSettingConfigFile = "ConfigFile";
inline constexpr const char* kSettingKeysFile = "KeysFile";
inline constexpr const char* kSettingOutputPath = "OutputPath";

[[nodiscard]] QString ReadProfileString(const char* key, const QString& defaultValue = QString());
void WriteProfileString(const char* key, const QString& value);

// The window's own settings, apart from the group above.
inline constexpr const char* kWindowGroup = "Window";
inline constexpr const char* kSettingLastFolder = "LastFolder";
inline constexpr const char* kSettingGeometry = "Geometry";
[[nodiscard]] QVariant ReadWindowSetting(const char* key);
void WriteWindowSetting(const char* key, const QVariant& value);

// Where a chooser starts: `preferred`, unless it is empty or lies in a hidden
// folder (the installed program's per-user folder); then the folder of the
// last file chosen, else the user's documents.
[[nodiscard]] QString StartFolder(const QString& preferred);
// Remembers the folder of a chosen file or the chosen folder itself.
void RememberChosen(const QString& chosen, bool isFolder = false);

}  // namespace tarnel::app
