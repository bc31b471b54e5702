#pragma once

#include <QIdentityProxyModel>

namespace korvid::app {

class ThumbnailStore;

// The folder's items with the pictures of their files as decoration; folders keep their icons.
// The source is the folder model or any proxy over it.
class ThumbnailModel final : public QIdentityProxyModel {
  Q_OBJECT

 public:
  ThumbnailModel(ThumbnailStore& store, QObject* parent = nullptr);
  QVariant data(const QModelIndex& index, int role) const override;

 private:
  void PictureReady(const QString& path);

  ThumbnailStore& store_;
};

}  // namespace korvid::app
