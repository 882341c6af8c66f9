// CPellgraveApp: the desktop program's application object. One running copy,
// the program folder, the Java heap setting, and the main window shown until
// it closes.
#pragma once

#include <QString>

#include "app/ui_hooks.h"
#include "common/model.h"

namespace tarnel::app {

class CPellgraveApp {
 public:
  CPellgraveApp() = default;

  // Start-up and the window's life; returns the program's exit code (1 when
  // the program folder lacks Config or jre or cannot be made, 0 otherwise).
  int Run();

  // The executable's folder with its separator, trimmed. It is the program
  // folder unless the program is installed (no Config/ there).
  [[nodiscard]] static std::string ProgramFolder(const QString& applicationDir);

  [[nodiscard]] Workspace& Ws() { return ws_; }

 private:
  Workspace ws_;
  QString instanceFolder_;  // where the single-instance lock lives; empty: the user's runtime folder
  UiHooks hooks_ = UiHooks::Interactive();
};

}  // namespace tarnel::app
