#include "ui/message_boxes.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>

namespace korvid::ui {

void QtMessageBoxes::Inform(QWidget* owner, const QString& text) {
  QMessageBox::information(owner, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok);
}

bool QtMessageBoxes::Ask(QWidget* owner, const QString& caption, const QString& text) {
  return QMessageBox::question(owner, caption, text, QMessageBox::Ok | QMessageBox::Cancel,
                               QMessageBox::Ok) == QMessageBox::Ok;
}

void QtMessageBoxes::ReportError(QWidget* owner, const QString& text) {
  QMessageBox::critical(owner, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok);
}

std::optional<QString> DesktopShell::ChooseFolder(QWidget* owner, const QString& prompt) {
  const QString folder = QFileDialog::getExistingDirectory(
      owner, prompt, QString(), QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  if (folder.isEmpty()) return std::nullopt;
  return folder;
}

std::optional<QString> DesktopShell::ChooseFile(QFileDialog& od) {
  if (od.exec() != QDialog::Accepted || od.selectedFiles().isEmpty()) return std::nullopt;
  return od.selectedFiles().first();
}

void DesktopShell::Open(const QUrl& url) {
  QDesktopServices::openUrl(url);
}

}  // namespace korvid::ui
