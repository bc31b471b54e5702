#pragma once

#include <QColor>
#include <QImage>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "app/picture_maker.h"

namespace korvid::app::testing {

// Test files name their picture's colour in their first bytes, "#rrggbb"; a file that does not is
// one that does not decode.
inline QColor ColourOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  char text[8] = {};
  in.read(text, 7);
  return QColor::fromString(QLatin1String(text, static_cast<qsizetype>(in.gcount())));
}

inline void WriteColourFile(const QString& path, const QString& colour) {
  std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
  out << colour.toStdString();
}

// Fills the bound, at 4:3 within it, with the file's colour, after `delay`; counts the files it
// was asked for.
inline PictureMaker ColourMaker(std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0),
                                std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
  return [calls, delay](const std::filesystem::path& file, QSize bound) {
    ++*calls;
    std::this_thread::sleep_for(delay);
    const QColor colour = ColourOf(file);
    if (!colour.isValid()) return QImage();
    QImage picture(QSize(4, 3).scaled(bound, Qt::KeepAspectRatio), QImage::Format_RGB32);
    picture.fill(colour);
    return picture;
  };
}

// The colour at the middle of a picture.
inline QColor MiddleOf(const QImage& picture) { return picture.pixelColor(picture.width() / 2, picture.height() / 2); }

}  // namespace korvid::app::testing
