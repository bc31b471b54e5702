// The choice of the sample: an AVI file whose header goes in front of every recovered file, or an
// MP4, MOV or MXF file for container mode.
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
      const SampleHeader header = CacheSample(path, services_.CacheFolder);
      SampleCachePath = FromPath(header.CachePath);
      SampleCacheKind = header.Kind;
    }
  } catch (const std::exception&) {
    services_.Boxes.Inform(this, QStringLiteral("样本无法访问!"));
  }
  EndRun();
}

}  // namespace korvid::app
