#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <QImage>

namespace korvid::preview {

// The JPEG picture with the standard Huffman tables (JPEG Annex K.3) put before its first
// frame or scan header when it declares none, as AVI MJPEG frames leave them out; else as is.
std::vector<uint8_t> WithHuffmanTables(std::span<const uint8_t> jpeg);

// The picture of an MJPEG frame, decoded with Qt's JPEG reader; null when it does not decode.
QImage JpegPicture(std::span<const uint8_t> frame);

}  // namespace korvid::preview
