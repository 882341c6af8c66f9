// Every message box and file chooser of the window goes through UiHooks, so
// the program shows real dialogs while tests answer them in code.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>

#include "common/reporter.h"

class QWidget;

namespace tarnel::app {

struct MessageRequest {
  QString text;
  QString caption;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  // The answer of Escape and the box's close box; NoButton: the toolkit's
  // choice. When it is none of `buttons` no such button is shown.
  QMessageBox::StandardButton escapeAnswer = QMessageBox::NoButton;
  // The box's object name, so that the window can find a box it asked.
  QString objectName = QString();
  // Shown under the text: the file a message is about and the reason.
  QString detail{};
};

enum class ChooserKind { OpenFile, SaveFile, Folder };

struct ChooserRequest {
  ChooserKind kind = ChooserKind::OpenFile;
  QString title;           // empty: the toolkit's own title
  QString folder;          // start folder, may be empty
  QString fileName;        // suggested file name, may be empty
  QStringList filters;     // name filters in order; empty: every file
  QString defaultSuffix;   // appended to a typed name without one (save only)
  bool confirmOverwrite = false;
};

struct UiHooks {
  // Shows one message box on the user-interface thread; returns the button pressed.
  std::function<QMessageBox::StandardButton(QWidget* parent, const MessageRequest&)> message;
  // Shows one chooser; returns the chosen full path, or an empty text when cancelled.
  std::function<QString(QWidget* parent, const ChooserRequest&)> choose;

  // QMessageBox and QFileDialog.
  [[nodiscard]] static UiHooks Interactive();
};

[[nodiscard]] QMessageBox::Icon ToQtIcon(MsgIcon icon);

// Core texts are UTF-8.
[[nodiscard]] inline QString Q(const std::string& s) { return QString::fromStdString(s); }
[[nodiscard]] inline std::string S(const QString& s) { return s.toStdString(); }

}  // namespace tarnel::app
