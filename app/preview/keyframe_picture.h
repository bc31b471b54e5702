#pragma once
#include <cstdint>
#include <filesystem>
#include <span>
#include <QImage>
#include <QSize>
namespace korvid::preview {
// The first video keyframe of a recovered recording that decodes, scaled to fit within `bound`
// (aspect kept); a null image when the file holds none that decodes. Reads at most a bounded
// number of bytes of the file, so that a huge or broken file costs little. Thread-safe: the
// thumbnails are made on worker threads.
QImage FirstKeyframePicture(const std::filesystem::path& file, QSize bound);
// The same from the file's bytes in memory.
QImage FirstKeyframePictureOf(std::span<const uint8_t> bytes, QSize bound);
}
