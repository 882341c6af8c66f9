#include "app/app_settings.h"

#include <QSettings>

namespace tarnel::app {

QString ReadProfileString(const char* key, const QString& defaultValue) {
  QSettings settings;
  settings.beginGroup(kSettingsGroup);
  return settings.value(key, defaultValue).toString();
}

void WriteProfileString(const char* key, const QString& value) {
  QSettings settings;
  settings.beginGroup(kSettingsGroup);
  settings.setValue(key, value);
  settings.sync();
}

}  // namespace tarnel::app
