#include "app/themes.h"

#include <QColor>
#include <QPalette>
#include <QWidget>
#include <chrono>
#include <string>

namespace korvid::app {
namespace {

// The colours and shapes that make one theme.
struct ThemeLook {
  const char* Name;
  QColor Window;      // window and panel background
  QColor Base;        // text fields and the folder view
  QColor Text;
  QColor BarTop;      // toolbar and status bar gradient
  QColor BarBottom;
  QColor Highlight;   // selection, gauge chunk, hovered buttons
  QColor HighlightText;
  int Radius;         // corner radius of buttons and the gauge
};

const ThemeLook Looks[10] = {
    {"Acryl (internal)", QColor(236, 238, 242), QColor(250, 250, 252), QColor(30, 30, 36),
     QColor(250, 250, 252), QColor(214, 218, 228), QColor(96, 126, 196), Qt::white, 3},
    {"Beijing (internal)", QColor(246, 236, 222), QColor(255, 250, 242), QColor(60, 20, 10),
     QColor(200, 40, 30), QColor(150, 20, 16), QColor(214, 160, 40), Qt::black, 2},
    {"BlueGauze (internal)", QColor(226, 236, 248), QColor(246, 250, 255), QColor(18, 36, 72),
     QColor(206, 224, 248), QColor(160, 192, 236), QColor(70, 120, 200), Qt::white, 4},
    {"BlueIce (internal)", QColor(218, 232, 246), QColor(244, 250, 255), QColor(10, 32, 64),
     QColor(236, 246, 255), QColor(170, 206, 240), QColor(40, 120, 210), Qt::white, 5},
    {"Desert (internal)", QColor(238, 226, 200), QColor(252, 246, 232), QColor(70, 50, 20),
     QColor(236, 214, 170), QColor(204, 172, 116), QColor(176, 120, 50), Qt::white, 3},
    {"Golden (internal)", QColor(60, 52, 36), QColor(40, 34, 24), QColor(246, 230, 180),
     QColor(120, 96, 40), QColor(70, 56, 24), QColor(230, 186, 60), Qt::black, 4},
    {"MacOS (internal)", QColor(236, 236, 236), QColor(255, 255, 255), QColor(0, 0, 0),
     QColor(246, 246, 246), QColor(200, 200, 200), QColor(56, 117, 215), Qt::white, 6},
    {"Office12Style (internal)", QColor(214, 228, 246), QColor(255, 255, 255), QColor(20, 40, 90),
     QColor(228, 238, 252), QColor(176, 204, 240), QColor(252, 200, 90), Qt::black, 2},
    {"WMP11 (internal)", QColor(28, 30, 36), QColor(16, 18, 22), QColor(220, 226, 236),
     QColor(70, 76, 90), QColor(12, 14, 18), QColor(60, 140, 220), Qt::white, 4},
    {"Office2007 Black (internal)", QColor(54, 56, 60), QColor(36, 38, 40), QColor(236, 236, 236),
     QColor(96, 98, 104), QColor(40, 42, 46), QColor(240, 170, 60), Qt::black, 2},
};

QPalette PaletteFor(const ThemeLook& look) {
  QPalette palette;
  palette.setColor(QPalette::Window, look.Window);
  palette.setColor(QPalette::WindowText, look.Text);
  palette.setColor(QPalette::Base, look.Base);
  palette.setColor(QPalette::AlternateBase, look.Window);
  palette.setColor(QPalette::Text, look.Text);
  palette.setColor(QPalette::Button, look.Window);
  palette.setColor(QPalette::ButtonText, look.Text);
  palette.setColor(QPalette::Highlight, look.Highlight);
  palette.setColor(QPalette::HighlightedText, look.HighlightText);
  palette.setColor(QPalette::ToolTipBase, look.Base);
  palette.setColor(QPalette::ToolTipText, look.Text);
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, look.Text.lighter(look.Text.lightness() > 128 ? 60 : 300));
  palette.setColor(QPalette::Disabled, QPalette::WindowText, look.Text.lighter(look.Text.lightness() > 128 ? 60 : 300));
  return palette;
}

QString StyleSheetFor(const ThemeLook& look) {
  const auto c = [](const QColor& color) { return color.name(); };
  return QStringLiteral(
             "QMainWindow, QWidget#Panel1, QWidget#RzPanel1 { background: %5; }"
             "QToolBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2);"
             " border-top: 2px groove %2; spacing: 2px; }"
             "QStatusBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2); }"
             "QStatusBar::item { border: 1px solid %2; }"
             "QToolButton { color: %3; border: 1px solid transparent; border-radius: %6px; }"
             "QToolButton:hover { border: 1px solid %4; background: %7; }"
             "QToolButton:disabled { color: %8; }"
             "QMenuBar { background: %5; color: %3; }"
             "QProgressBar { border: 1px solid %2; border-radius: %6px; text-align: center; background: %9; color: %3; }"
             "QProgressBar::chunk { background: %4; border-radius: %6px; }"
             "QPushButton { border: 1px solid %2; border-radius: %6px; padding: 4px;"
             " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2); color: %3; }"
             "QPushButton:hover { border: 1px solid %4; }")
      .arg(c(look.BarTop), c(look.BarBottom), c(look.Text), c(look.Highlight), c(look.Window))
      .arg(look.Radius)
      .arg(c(look.Highlight.lighter(170)), c(look.Text.lighter(look.Text.lightness() > 128 ? 60 : 300)),
           c(look.Base));
}

}  // namespace

const char* const ThemeNames[10] = {Looks[0].Name, Looks[1].Name, Looks[2].Name, Looks[3].Name, Looks[4].Name,
                                    Looks[5].Name, Looks[6].Name, Looks[7].Name, Looks[8].Name, Looks[9].Name};

int ThemeDigit(uint64_t tickCount) {
  const std::string text = std::to_string(tickCount);
  return text[text.size() == 1 ? 0 : text.size() - 2] - '0';
}

QString ThemeForTickCount(uint64_t tickCount) {
  return QString::fromLatin1(Looks[ThemeDigit(tickCount)].Name);
}

uint64_t TickCount() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

bool ThemeManager::SetTheme(const QString& name, QWidget& window) {
  for (const ThemeLook& look : Looks) {
    if (name != QLatin1String(look.Name)) continue;
    theme_ = name;
    window.setPalette(PaletteFor(look));
    window.setStyleSheet(StyleSheetFor(look));
    return true;
  }
  return false;
}

}  // namespace korvid::app
