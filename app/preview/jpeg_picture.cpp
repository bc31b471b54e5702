#include "app/preview/jpeg_picture.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include "app/preview/huffman_tables.h"

namespace korvid::preview {
namespace {

constexpr uint8_t Dht = 0xC4, Sos = 0xDA;

// Whether a marker heads a frame (SOF0 to SOF15; C4, C8 and CC are other segments).
bool IsFrameHeader(uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != Dht && marker != 0xC8 && marker != 0xCC;
}

// The largest picture a preview decodes, in bytes of its decoded image: a hostile frame header
// cannot make the reader allocate more.
constexpr int AllocationLimitMiB = 128;

}  // namespace

std::vector<uint8_t> WithHuffmanTables(std::span<const uint8_t> jpeg) {
  std::vector<uint8_t> out(jpeg.begin(), jpeg.end());
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return out;
  // The segments before the first frame or scan header hold any tables the picture declares.
  for (size_t p = 2; p + 4 <= jpeg.size();) {
    if (jpeg[p] != 0xFF) return out;
    const uint8_t marker = jpeg[p + 1];
    if (marker == 0xFF) {  // fill byte
      ++p;
      continue;
    }
    if (marker == Dht) return out;
    if (IsFrameHeader(marker) || marker == Sos) {
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(p), StandardHuffmanTables.begin(),
                 StandardHuffmanTables.end());
      return out;
    }
    p += 2 + (static_cast<size_t>(jpeg[p + 2]) << 8 | jpeg[p + 3]);
  }
  return out;
}

QImage JpegPicture(std::span<const uint8_t> frame) {
  const std::vector<uint8_t> jpeg = WithHuffmanTables(frame);
  QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(jpeg.data()), static_cast<qsizetype>(jpeg.size()));
  QBuffer buffer(&data);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, "JPEG");
  reader.setAllocationLimit(AllocationLimitMiB);
  QImage picture;
  if (!reader.read(&picture)) return {};
  return picture;
}

}  // namespace korvid::preview
