#pragma once

#include <QString>
#include <QUrl>
#include <optional>

class QFileDialog;
class QWidget;

namespace korvid::ui {

// Every message box of the program goes through here, so that tests can answer them.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;

  // A plain message: one OK button, the application title as caption.
  virtual void Inform(QWidget* owner, const QString& text) = 0;
  // A question with its own caption, OK and Cancel and a question icon; true only for OK.
  virtual bool Ask(QWidget* owner, const QString& caption, const QString& text) = 0;
  // The general error report: the error's text, a stop icon, OK.
  virtual void ReportError(QWidget* owner, const QString& text) = 0;
};

// What the desktop does for the window: its dialogs and opening files and pages.
class ShellServices {
 public:
  virtual ~ShellServices() = default;

  // The folder dialog; nothing when cancelled.
  virtual std::optional<QString> ChooseFolder(QWidget* owner, const QString& prompt) = 0;
  // Shows the window's open-file dialog as it has been set up; nothing when cancelled.
  virtual std::optional<QString> ChooseFile(QFileDialog& od) = 0;
  // A web page, or a local file with the program the desktop associates with it.
  virtual void Open(const QUrl& url) = 0;
};

// The real boxes and dialogs.
class QtMessageBoxes final : public MessageBoxes {
 public:
  void Inform(QWidget* owner, const QString& text) override;
  bool Ask(QWidget* owner, const QString& caption, const QString& text) override;
  void ReportError(QWidget* owner, const QString& text) override;
};

class DesktopShell final : public ShellServices {
 public:
  std::optional<QString> ChooseFolder(QWidget* owner, const QString& prompt) override;
  std::optional<QString> ChooseFile(QFileDialog& od) override;
  void Open(const QUrl& url) override;
};

}  // namespace korvid::ui
