// The source menu of RecBtn and the choice of a source.
#include <QAction>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>

#include "app/main_window.h"
#include "engine/errors.h"
#include "sources/open_source.h"
#include "sources/source_catalog.h"
#include "sources/source_text.h"

namespace korvid::app {
namespace {

QAction* AddEntry(QMenu* menu, const std::string& name, const std::string& caption, const QString& source) {
  QAction* entry = menu->addAction(QString::fromStdString(caption));
  entry->setObjectName(QString::fromStdString(name));
  entry->setData(source);
  return entry;
}

}  // namespace

void TfrmMain::RecBtnDropDown() {
  pop->clear();
  AddEntry(pop, "Openimage", "打开磁盘镜像", QString());

  std::vector<sources::TNTVolumeInfo> volumes = sources::QueryVolumes();
  std::erase_if(volumes, [](const sources::TNTVolumeInfo& v) { return !sources::KeepVolume(v); });
  if (!volumes.empty()) pop->addSeparator();
  for (const sources::TNTVolumeInfo& v : volumes) {
    AddEntry(pop, v.Drive + "xx", sources::VolumeCaption(v, v.Drive), QString::fromStdString(v.DevicePath));
  }
  pop->addSeparator();
  for (const sources::DiskEntry& disk : sources::ListDisks()) {
    AddEntry(pop, disk.Name, disk.Caption, QString::fromStdString(disk.Name));
  }
}

void TfrmMain::SourceMenuClick(QAction* item) {
  if (item->isSeparator()) return;
  ClearOpenDialog();
  if (item->objectName() == QLatin1String("Openimage")) {
    const std::optional<QString> image = services_.Shell.ChooseFile(*od);
    if (!image) return;
    SourcePath = image->toStdString();
    Source->setText(*image);
    return;
  }
  // A disk entry carries its "PhysicalDrive" name, a volume entry its device path.
  Source->setText(item->data().toString());
}

void TfrmMain::SourceChange() {
  const std::string text = Source->text().toStdString();
  SourcePath = text;
  if (text.empty()) return;
  try {
    SourcePath = sources::SourcePathFor(text);
    SourceSize = services_.OpenSource(SourcePath)->Size();
  } catch (const std::exception& e) {
    services_.Boxes.ReportError(this, QString::fromStdString(e.what()));
  }
}

}  // namespace korvid::app
