#include "app/ui_hooks.h"

#include <QFileDialog>
#include <QPushButton>

namespace tarnel::app {

QMessageBox::Icon ToQtIcon(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::Warning: return QMessageBox::Warning;
    case MsgIcon::Stop: return QMessageBox::Critical;
    case MsgIcon::Information: return QMessageBox::Information;
    case MsgIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

namespace {

QMessageBox::StandardButton ShowMessageBox(QWidget* parent, const MessageRequest& request) {
  QMessageBox box(request.icon, request.caption, request.text, request.buttons, parent);
  if (!request.objectName.isEmpty()) box.setObjectName(request.objectName);
  if (!request.detail.isEmpty()) box.setInformativeText(request.detail);
  if (request.escapeAnswer != QMessageBox::NoButton) {
    QAbstractButton* escape = box.button(request.escapeAnswer);
    if (escape == nullptr) {
      escape = box.addButton(request.escapeAnswer);
      escape->hide();
    }
    box.setEscapeButton(escape);
  }
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString ShowChooser(QWidget* parent, const ChooserRequest& request) {
  QFileDialog dialog(parent, request.title, request.folder);
  switch (request.kind) {
    case ChooserKind::OpenFile:
      dialog.setAcceptMode(QFileDialog::AcceptOpen);
      dialog.setFileMode(QFileDialog::ExistingFile);
      break;
    case ChooserKind::SaveFile:
      dialog.setAcceptMode(QFileDialog::AcceptSave);
      dialog.setFileMode(QFileDialog::AnyFile);
      dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
      if (!request.defaultSuffix.isEmpty()) dialog.setDefaultSuffix(request.defaultSuffix);
      break;
    case ChooserKind::Folder:
      dialog.setAcceptMode(QFileDialog::AcceptOpen);
      dialog.setFileMode(QFileDialog::Directory);
      dialog.setOption(QFileDialog::ShowDirsOnly, true);
      break;
  }
  if (!request.filters.isEmpty()) dialog.setNameFilters(request.filters);
  if (!request.fileName.isEmpty()) dialog.selectFile(request.fileName);
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList chosen = dialog.selectedFiles();
  return chosen.isEmpty() ? QString() : chosen.front();
}

}  // namespace

UiHooks UiHooks::Interactive() { return UiHooks{&ShowMessageBox, &ShowChooser}; }

}  // namespace tarnel::app
