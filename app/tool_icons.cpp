#include "app/tool_icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace korvid::app {
namespace {

constexpr int Side = 32;

void DrawDisk(QPainter& p, const QColor& body) {
  p.setBrush(body);
  p.drawRoundedRect(QRectF(4, 9, 24, 15), 3, 3);
  p.setBrush(QColor(120, 230, 120));
  p.drawEllipse(QRectF(21, 18, 3.5, 3.5));
  p.setPen(QPen(QColor(255, 255, 255, 160), 1.5));
  p.drawLine(QPointF(7, 13), QPointF(20, 13));
}

void DrawFolder(QPainter& p) {
  QPainterPath path;
  path.moveTo(3, 9);
  path.lineTo(12, 9);
  path.lineTo(15, 12);
  path.lineTo(29, 12);
  path.lineTo(29, 27);
  path.lineTo(3, 27);
  path.closeSubpath();
  p.setBrush(QColor(240, 196, 80));
  p.drawPath(path);
  p.setBrush(QColor(252, 220, 120));
  p.drawRect(QRectF(3, 15, 26, 12));
}

void DrawFilm(QPainter& p) {
  p.setBrush(QColor(60, 70, 90));
  p.drawRect(QRectF(5, 4, 22, 25));
  p.setBrush(Qt::white);
  for (int y = 6; y < 28; y += 5) {
    p.drawRect(QRectF(7, y, 3, 3));
    p.drawRect(QRectF(22, y, 3, 3));
  }
  p.setBrush(QColor(110, 180, 250));
  p.drawRect(QRectF(12, 8, 8, 17));
}

void Draw(QPainter& p, ToolIcon kind) {
  p.setPen(QPen(QColor(40, 50, 70), 1.2));
  switch (kind) {
    case ToolIcon::ToolBox:
      p.setBrush(QColor(210, 70, 60));
      p.drawRoundedRect(QRectF(3, 12, 26, 15), 2, 2);
      p.setBrush(Qt::NoBrush);
      p.drawRoundedRect(QRectF(11, 6, 10, 7), 2, 2);
      p.setBrush(QColor(250, 220, 90));
      p.drawRect(QRectF(13, 17, 6, 4));
      break;
    case ToolIcon::Target:
      DrawDisk(p, QColor(150, 160, 180));
      break;
    case ToolIcon::Folder:
      DrawFolder(p);
      break;
    case ToolIcon::Sample:
      DrawFilm(p);
      break;
    case ToolIcon::Run: {
      QPainterPath path;
      path.moveTo(9, 5);
      path.lineTo(27, 16);
      path.lineTo(9, 27);
      path.closeSubpath();
      p.setBrush(QColor(60, 170, 80));
      p.drawPath(path);
      break;
    }
    case ToolIcon::Pause:
      p.setBrush(QColor(230, 160, 40));
      p.drawRect(QRectF(8, 6, 6, 20));
      p.drawRect(QRectF(18, 6, 6, 20));
      break;
    case ToolIcon::Stop:
      p.setBrush(QColor(210, 50, 50));
      p.drawRoundedRect(QRectF(7, 7, 18, 18), 2, 2);
      break;
    case ToolIcon::Update:
      p.setBrush(QColor(60, 130, 220));
      p.drawEllipse(QRectF(4, 4, 24, 24));
      p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(16, 23), QPointF(16, 10));
      p.drawLine(QPointF(16, 10), QPointF(11, 15));
      p.drawLine(QPointF(16, 10), QPointF(21, 15));
      break;
    case ToolIcon::Support:
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(QColor(50, 90, 160), 3));
      p.drawArc(QRectF(6, 5, 20, 20), 0, 180 * 16);
      p.setBrush(QColor(50, 90, 160));
      p.setPen(Qt::NoPen);
      p.drawRoundedRect(QRectF(4, 14, 6, 10), 2, 2);
      p.drawRoundedRect(QRectF(22, 14, 6, 10), 2, 2);
      break;
    case ToolIcon::Help:
      p.setBrush(QColor(70, 140, 220));
      p.drawEllipse(QRectF(4, 4, 24, 24));
      p.setPen(Qt::white);
      p.setFont(QFont(QStringLiteral("Sans"), 15, QFont::Bold));
      p.drawText(QRectF(4, 4, 24, 24), Qt::AlignCenter, QStringLiteral("?"));
      break;
    case ToolIcon::Exit:
      p.setBrush(QColor(150, 110, 80));
      p.drawRect(QRectF(6, 4, 14, 24));
      p.setPen(QPen(QColor(200, 40, 40), 3, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(16, 16), QPointF(28, 16));
      p.drawLine(QPointF(28, 16), QPointF(24, 12));
      p.drawLine(QPointF(28, 16), QPointF(24, 20));
      break;
    case ToolIcon::Up:
      p.setPen(QPen(QColor(50, 90, 160), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.drawLine(QPointF(16, 27), QPointF(16, 6));
      p.drawLine(QPointF(16, 6), QPointF(8, 14));
      p.drawLine(QPointF(16, 6), QPointF(24, 14));
      break;
    case ToolIcon::Program:
      DrawFilm(p);
      p.setPen(QPen(QColor(60, 170, 80), 3, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(14, 24), QPointF(18, 28));
      p.drawLine(QPointF(18, 28), QPointF(30, 14));
      break;
  }
}

}  // namespace

QIcon MakeToolIcon(ToolIcon kind) {
  QPixmap pixmap(Side, Side);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  Draw(painter, kind);
  painter.end();
  return QIcon(pixmap);
}

}  // namespace korvid::app
