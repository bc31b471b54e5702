// The choice of the sample whose header goes in front of every recovered file.
#include <QFileDialog>

#include "app/main_window.h"
#include "app/path_text.h"
#include "engine/sample_header.h"

namespace korvid::app {

void TfrmMain::BtnSelectAllClick() {
  BeginRun();
  try {
    ClearOpenDialog();
    if (const std::optional<QString> sample = services_.Shell.ChooseFile(*od)) {
      const std::filesystem::path path = ToPath(*sample);
      const uint32_t headerLength = FindHeaderLength(path);
      SampleCachePath = FromPath(CacheSampleHeader(path, headerLength, services_.CacheFolder).CachePath);
    }
  } catch (const std::exception&) {
    services_.Boxes.Inform(this, QStringLiteral("样本无法访问!"));
  }
  EndRun();
}

}  // namespace korvid::app
