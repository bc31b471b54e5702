#include "app/thumbnails.h"

#include <QThreadPool>
#include <atomic>
#include <exception>
#include <mutex>

#include "app/path_text.h"
#include "app/thumbnail_looks.h"

namespace korvid::app {
namespace {

// One pool for all stores, so that pictures never take more than a couple of cores from a run.
// It outlives every store; at the program's end it waits for the pictures still being made.
struct PicturePool : QThreadPool {
  PicturePool() { setMaxThreadCount(2); }
};
Q_GLOBAL_STATIC(PicturePool, picturePool)

// Later requests run first: they are the files the user looks at now.
int NextPriority() {
  static std::atomic<int> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) & 0x3fffffff;
}

QImage MakeSafely(const PictureMaker& maker, const QString& path, QSize bound) {
  if (!maker) return {};
  try {
    return maker(ToPath(path), bound);
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

// Where workers hand in pictures. The store clears `Store` as it goes; a worker posts only while
// holding the lock, so that a post never reaches a store that is gone (Qt drops the posts still
// queued for an object when it is destroyed).
struct ThumbnailStore::Mailbox {
  std::mutex Lock;
  ThumbnailStore* Store = nullptr;

  bool Open() {
    std::lock_guard hold(Lock);
    return Store != nullptr;
  }
};

ThumbnailStore::ThumbnailStore(PictureMaker maker, QSize bound, int capacity, QObject* parent)
    : QObject(parent),
      maker_(std::move(maker)),
      bound_(bound),
      loading_(QPixmap::fromImage(LoadingPicture(bound))),
      placeholder_(QPixmap::fromImage(PlaceholderPicture(bound))),
      entries_(capacity),
      mailbox_(std::make_shared<Mailbox>()) {
  mailbox_->Store = this;
}

ThumbnailStore::~ThumbnailStore() {
  std::lock_guard hold(mailbox_->Lock);
  mailbox_->Store = nullptr;
}

ThumbnailStore::Thumbnail ThumbnailStore::Lookup(const QFileInfo& file) {
  const QString path = file.absoluteFilePath();
  const QDateTime modified = file.lastModified();
  const qint64 size = file.size();
  if (const Entry* entry = entries_.object(path); entry != nullptr && entry->Modified == modified && entry->Size == size) {
    return entry->Shown;
  }
  Request(path, modified, size);
  return {Look::Loading, loading_};
}

void ThumbnailStore::Request(const QString& path, const QDateTime& modified, qint64 size) {
  entries_.insert(path, new Entry{modified, size, {Look::Loading, loading_}});
  picturePool()->start(
      [mailbox = mailbox_, maker = maker_, bound = bound_, path, modified, size] {
        if (!mailbox->Open()) return;
        const QImage picture = MakeSafely(maker, path, bound);
        std::lock_guard hold(mailbox->Lock);
        if (ThumbnailStore* store = mailbox->Store) {
          QMetaObject::invokeMethod(
              store, [store, path, modified, size, picture] { store->Deliver(path, modified, size, picture); },
              Qt::QueuedConnection);
        }
      },
      NextPriority());
}

void ThumbnailStore::Deliver(const QString& path, const QDateTime& modified, qint64 size, const QImage& picture) {
  // A picture of an older version of the file is not kept over the request for the newer one.
  if (const Entry* entry = entries_.object(path); entry != nullptr && (entry->Modified != modified || entry->Size != size)) {
    return;
  }
  const Thumbnail shown = picture.isNull() ? Thumbnail{Look::Placeholder, placeholder_}
                                           : Thumbnail{Look::Picture, QPixmap::fromImage(picture)};
  entries_.insert(path, new Entry{modified, size, shown});
  emit Ready(path);
}

}  // namespace korvid::app
