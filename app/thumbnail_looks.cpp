// The drawn pictures of files without a picture of their own.
#include "app/thumbnail_looks.h"

#include <QFont>
#include <QPainter>
#include <algorithm>

namespace korvid::app {
namespace {

// A strip of film: a dark frame with sprocket holes along its top and bottom edges.
QImage FilmFrame(QSize bound, QColor screen) {
  QImage image(bound.expandedTo(QSize(16, 16)), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF whole = QRectF(image.rect()).adjusted(1, 1, -1, -1);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x3a, 0x3a, 0x3a));
  painter.drawRoundedRect(whole, 3, 3);
  const qreal edge = std::max<qreal>(4, whole.height() / 8);
  const qreal hole = edge / 2;
  painter.setBrush(QColor(0xe8, 0xe8, 0xe8));
  for (qreal x = whole.left() + hole; x + hole < whole.right(); x += hole * 2) {
    painter.drawRect(QRectF(x, whole.top() + hole / 2, hole, hole));
    painter.drawRect(QRectF(x, whole.bottom() - hole * 1.5, hole, hole));
  }
  painter.setBrush(screen);
  painter.drawRect(whole.adjusted(hole, edge, -hole, -edge));
  return image;
}

}  // namespace

QImage PlaceholderPicture(QSize bound) {
  QImage image = FilmFrame(bound, QColor(0x70, 0x70, 0x78));
  QPainter painter(&image);
  QFont font;
  font.setFamilies({QStringLiteral("微软雅黑"), QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Zen Hei")});
  font.setPixelSize(std::max(9, image.height() / 7));
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(image.rect(), Qt::AlignCenter, QStringLiteral("无法预览"));
  return image;
}

QImage LoadingPicture(QSize bound) { return FilmFrame(bound, QColor(0xb8, 0xb8, 0xc0)); }

}  // namespace korvid::app
