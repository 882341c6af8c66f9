#include "app/app_settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace tarnel::app {

QString ReadProfileString(const char* key, const QString& defaultValue) {
  QSettings settings;
  settings.beginGroup(kSettingsGroup);
  return settings.value(key, defaultValue).toString();
}

QVariant ReadWindowSetting(const char* key) {
  QSettings settings;
  settings.beginGroup(kWindowGroup);
  return settings.value(key);
}

void WriteWindowSetting(const char* key, const QVariant& value) {
  QSettings settings;
  settings.beginGroup(kWindowGroup);
  settings.setValue(key, value);
  settings.sync();
}

namespace {

bool InHiddenFolder(const QString& path) {
  const QStringList parts = QDir::cleanPath(QDir::fromNativeSeparators(path)).split(QLatin1Char('/'));
  for (const QString& part : parts)
    if (part.size() > 1 && part.startsWith(QLatin1Char('.')) && part != QLatin1String("..")) return true;
  return false;
}

}  // namespace

QString StartFolder(const QString& preferred) {
  if (!preferred.isEmpty() && !InHiddenFolder(preferred)) return preferred;
  const QString last = ReadWindowSetting(kSettingLastFolder).toString();
  if (!last.isEmpty() && !InHiddenFolder(last) && QFileInfo(last).isDir()) return last;
  return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

void RememberChosen(const QString& chosen, bool isFolder) {
  if (chosen.isEmpty()) return;
  WriteWindowSetting(kSettingLastFolder, isFolder ? chosen : QFileInfo(chosen).absolutePath());
}

void WriteProfileString(const char* key, const QString& value) {
  QSettings settings;
  settings.beginGroup(kSettingsGroup);
  settings.setValue(key, value);
  settings.sync();
}

}  // namespace tarnel::app
