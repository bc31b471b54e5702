#pragma once

#include <QString>
#include <QUrl>
#include <chrono>

#include "ui/message_boxes.h"

class QWidget;

namespace korvid::online {

// Where the update check asks and what it says; the program fills it from the vendor data,
// tests point `Server` at a server of their own.
struct UpdateCheckSetup {
  QUrl Server;              // base address; "getinfo.asp" is resolved against it
  QString ProgramName;
  QString ProgramVersion;
  QUrl WebSite;             // offered by the no-update box and named in the upgrade box
  std::chrono::milliseconds TimeOut = std::chrono::seconds(10);  // for each request
};

// The "在线升级" command: asks the update server whether a newer version exists and offers it.
class UpdateCheck {
 public:
  UpdateCheck(UpdateCheckSetup setup, ui::MessageBoxes& boxes, ui::ShellServices& shell);

  // The toolbar command. While a check is under way, a further click does nothing.
  void UpdateBtnClick(QWidget* owner);

  // One whole exchange with the server: the converted answer (bars turned into carriage
  // returns) when it announces a newer version, otherwise an empty text. Failures of any kind,
  // a time-out among them, give the empty text.
  QString FetchUpdateInfo() const;

 private:
  void ShowNoUpdate(QWidget* owner);

  UpdateCheckSetup setup_;
  ui::MessageBoxes& boxes_;
  ui::ShellServices& shell_;
  bool checking_ = false;
};

// The download address of an answer's last line: only an http or https URL with a host; an
// invalid URL otherwise.
QUrl DownloadAddress(const QString& line);

}  // namespace korvid::online
