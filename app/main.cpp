#include "app/application.h"
#include "app/main_window.h"
#include "app/qt_translations.h"
#include "app/termination.h"
#include "sources/cache_folder.h"
#include "sources/open_source.h"
#include "ui/message_boxes.h"

int main(int argc, char* argv[]) {
  korvid::ui::QtMessageBoxes boxes;
  korvid::app::ErrorReportingApplication application(argc, argv, boxes);
  // Without Qt's catalogue the program works all the same, with Qt's own texts in English.
  korvid::app::InstallQtTranslations(application);
  korvid::ui::DesktopShell shell;
  korvid::app::TfrmMain frmMain({
      .Boxes = boxes,
      .Shell = shell,
      .ExecutablePath = QApplication::applicationFilePath(),
      .TickCount = korvid::app::TickCount(),
      .OpenSource = korvid::sources::OpenSource,
      .CacheFolder = korvid::sources::DefaultCacheFolder(),
  });
  korvid::app::CloseOnTerminationRequest(frmMain);
  frmMain.show();
  return QApplication::exec();
}
