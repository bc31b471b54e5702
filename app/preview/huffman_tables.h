#pragma once

#include <array>
#include <cstdint>

namespace korvid::preview {

// A DHT segment of the four Huffman tables JPEG Annex K.3 gives (luminance and chrominance, DC
// and AC), marker included: the tables MJPEG decoders assume when a frame carries none.
extern const std::array<uint8_t, 420> StandardHuffmanTables;

}  // namespace korvid::preview
