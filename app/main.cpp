#include "app/application.h"
#include "app/main_window.h"
#include "app/termination.h"
#include "sources/cache_folder.h"
#include "sources/open_source.h"

int main(int argc, char* argv[]) {
  korvid::app::QtMessageBoxes boxes;
  korvid::app::ErrorReportingApplication application(argc, argv, boxes);
  korvid::app::DesktopShell shell;
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
