#pragma once

#include <QString>
#include <cstdint>

class QWidget;

namespace korvid::app {

// The theme the window is designed with; it stays only when the tick count picks it.
inline constexpr const char* DesignedTheme = "BlueIce (internal)";

// The ten themes, indexed by the digit that picks them.
extern const char* const ThemeNames[10];

// The digit that picks the theme: the last-but-one decimal digit of the tick count, or the only
// digit of a count below 10.
int ThemeDigit(uint64_t tickCount);
QString ThemeForTickCount(uint64_t tickCount);

// Milliseconds since an arbitrary fixed point (the system's start where the platform says so).
uint64_t TickCount();

// The theme manager `sm`: gives a window the palette and style sheet of a named theme.
class ThemeManager {
 public:
  // Unknown names keep the current theme. Returns whether the name was known.
  bool SetTheme(const QString& name, QWidget& window);
  const QString& Theme() const { return theme_; }

 private:
  QString theme_ = QString::fromLatin1(DesignedTheme);
};

}  // namespace korvid::app
