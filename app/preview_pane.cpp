#include "app/preview_pane.h"

#include <QLabel>
#include <QVBoxLayout>

namespace korvid::app {

PreviewPane::PreviewPane(PictureMaker maker, QWidget* parent)
    // Pictures are made once at this size and scaled down to the pane; a few are kept for going
    // back and forth between files.
    : QWidget(parent), store_(std::move(maker), QSize(640, 480), 24, this) {
  setObjectName(QStringLiteral("PreviewPane"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  Picture = new QLabel(this);
  Picture->setObjectName(QStringLiteral("PreviewPicture"));
  Picture->setAlignment(Qt::AlignCenter);
  Picture->setMinimumSize(64, 48);
  Picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  FileName = new QLabel(this);
  FileName->setObjectName(QStringLiteral("PreviewName"));
  FileName->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  FileName->setWordWrap(true);
  layout->addWidget(Picture, 1);
  layout->addWidget(FileName);
  connect(&store_, &ThumbnailStore::Ready, this, &PreviewPane::PictureReady);
}

void PreviewPane::Show(const QFileInfo& file) {
  const bool empty = file.filePath().isEmpty() || !file.isFile();
  file_ = empty ? QFileInfo() : file;
  shown_ = empty ? ThumbnailStore::Thumbnail{ThumbnailStore::Look::Loading, QPixmap()} : store_.Lookup(file_);
  FileName->setText(empty ? QString() : file_.fileName());
  Fit();
}

std::optional<ThumbnailStore::Look> PreviewPane::Shown() const {
  if (file_.filePath().isEmpty()) return std::nullopt;
  return shown_.Kind;
}

void PreviewPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Fit();
}

void PreviewPane::PictureReady(const QString& path) {
  if (!file_.filePath().isEmpty() && path == file_.absoluteFilePath()) Show(QFileInfo(path));
}

void PreviewPane::Fit() {
  if (shown_.Pixmap.isNull()) {
    Picture->clear();
    return;
  }
  Picture->setPixmap(shown_.Pixmap.scaled(Picture->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

}  // namespace korvid::app
