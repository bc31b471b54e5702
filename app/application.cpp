#include "app/application.h"

#include <exception>
#include <new>

namespace korvid::app {

ErrorReportingApplication::ErrorReportingApplication(int& argc, char** argv, ui::MessageBoxes& boxes)
    : QApplication(argc, argv), boxes_(boxes) {}

bool ErrorReportingApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::bad_alloc&) {
    boxes_.ReportError(activeWindow(), QStringLiteral("Out of memory"));
  } catch (const std::exception& e) {
    boxes_.ReportError(activeWindow(), QString::fromStdString(e.what()));
  }
  return false;
}

}  // namespace korvid::app
