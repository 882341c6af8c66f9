#include "app/pellgrave_app.h"

#include <QCoreApplication>

#include "app/pellgrave_dlg.h"
#include "app/single_instance.h"
#include "build_info.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/program_folder.h"
#include "common/text.h"
#include "config/burn_config.h"

namespace tarnel::app {

std::string CPellgraveApp::ProgramFolder(const QString& applicationDir) {
  const std::string dir = Trim(S(applicationDir));
  return dir.empty() ? std::string() : WithTrailingSep(dir);
}

int CPellgraveApp::Run() {
  CSingleInstance instance(instanceFolder_);
  if (!instance.Acquire()) {
    // Another copy runs: bring its window to the front and end.
    instance.NotifyRunningCopy();
    return 0;
  }

  AppMembers& app = ws_.app;
  // The executable's folder, or for an installed program the per-user folder.
  const std::string executableDir = ProgramFolder(QCoreApplication::applicationDirPath());
  const ProgramFolderChoice home =
      ChooseProgramFolder(executableDir, InstalledTemplateDir(executableDir, kTemplateFromBinDir), UserDataDir());
  if (!home.error.empty()) {
    hooks_.message(nullptr, MessageRequest{Q(home.error), QString::fromUtf8(kAppName), QMessageBox::Critical});
    return 1;
  }
  app.m_strAppDir = home.folder;
  app.m_strKeysFile.clear();
  app.m_strInputDir.clear();
  app.m_strOutputPath.clear();
  app.m_nJavaMemory = ReadJavaMemory(app.m_strAppDir);
  app.m_archiveSigner = ReadArchiveSignerSetting(app.m_strAppDir);
  app.m_archiveKey = ReadArchiveKeySetting(app.m_strAppDir);

  CPellgraveDlg dialog(ws_, hooks_);
  QObject::connect(&instance, &CSingleInstance::raiseRequested, &dialog, &CPellgraveDlg::RaiseWindow);
  if (!dialog.Startup()) return 1;
  dialog.exec();
  return 0;
}

}  // namespace tarnel::app
