#pragma once

#include <QFileInfo>
#include <QWidget>
#include <optional>

#include "app/thumbnails.h"

class QLabel;

namespace korvid::app {

// The picture of one file, scaled to the pane, with the file's name under it.
class PreviewPane final : public QWidget {
  Q_OBJECT

 public:
  PreviewPane(PictureMaker maker, QWidget* parent = nullptr);

  // Shows `file`; a folder or no file empties the pane.
  void Show(const QFileInfo& file);
  // What the pane shows of its file; nothing when it has none.
  std::optional<ThumbnailStore::Look> Shown() const;

  QLabel* Picture = nullptr;
  QLabel* FileName = nullptr;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void PictureReady(const QString& path);
  void Fit();

  ThumbnailStore store_;
  QFileInfo file_;
  ThumbnailStore::Thumbnail shown_;
};

}  // namespace korvid::app
