#pragma once

#include <QApplication>

#include "ui/message_boxes.h"

namespace korvid::app {

// The application object of the desktop program. An error that no handler dealt with reaches the
// general error report here, a box with the error's text and a stop icon, and the program goes on.
class ErrorReportingApplication final : public QApplication {
 public:
  ErrorReportingApplication(int& argc, char** argv, ui::MessageBoxes& boxes);

  bool notify(QObject* receiver, QEvent* event) override;

 private:
  ui::MessageBoxes& boxes_;
};

}  // namespace korvid::app
