#pragma once

#include <QCache>
#include <QDateTime>
#include <QFileInfo>
#include <QObject>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <memory>

#include "app/picture_maker.h"

namespace korvid::app {

// The pictures of files, made on worker threads and kept by path, modification time and size.
// A lookup answers at once with what is there; a picture that is missing is asked for and
// `Ready` says when it has come. The store may go while pictures are still being made.
class ThumbnailStore final : public QObject {
  Q_OBJECT

 public:
  enum class Look { Picture, Loading, Placeholder };
  struct Thumbnail {
    Look Kind = Look::Loading;
    QPixmap Pixmap;
  };

  // Keeps up to `capacity` pictures, each within `bound`.
  ThumbnailStore(PictureMaker maker, QSize bound, int capacity, QObject* parent = nullptr);
  ~ThumbnailStore() override;

  // The file's picture when made for the file as it is now; otherwise the loading look, and the
  // picture is made. A file with no picture gets the placeholder.
  Thumbnail Lookup(const QFileInfo& file);

 signals:
  void Ready(const QString& path);

 private:
  struct Entry {
    QDateTime Modified;
    qint64 Size = 0;
    Thumbnail Shown;
  };
  struct Mailbox;

  void Request(const QString& path, const QDateTime& modified, qint64 size);
  void Deliver(const QString& path, const QDateTime& modified, qint64 size, const QImage& picture);

  PictureMaker maker_;
  QSize bound_;
  QPixmap loading_;
  QPixmap placeholder_;
  QCache<QString, Entry> entries_;
  std::shared_ptr<Mailbox> mailbox_;
};

}  // namespace korvid::app
