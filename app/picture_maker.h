#pragma once

#include <QImage>
#include <QSize>
#include <filesystem>
#include <functional>

namespace korvid::app {

// Makes a file's picture scaled to fit within a bound, or a null image when it has none. Called
// from worker threads, so it has to be thread-safe.
using PictureMaker = std::function<QImage(const std::filesystem::path& file, QSize bound)>;

}  // namespace korvid::app
