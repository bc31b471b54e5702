// Feeds arbitrary bytes to the preview decoder as a recovered file's content: AVI headers and
// movi lists, MJPEG frames with or without their Huffman tables, MPEG-4, H.264 and H.265
// keyframes, MP4 and MOV boxes. A picture that comes back must fit the bound it was asked for.
#include <QCoreApplication>
#include <QImage>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "app/preview/keyframe_picture.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // Qt finds its JPEG reader through the application's plugin paths.
  static QCoreApplication application(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QSize bound(64, 48);
  const QImage picture = korvid::preview::FirstKeyframePictureOf(std::span(data, size), bound);
  if (!picture.isNull() && (picture.width() > bound.width() || picture.height() > bound.height())) {
    std::fprintf(stderr, "a %dx%d picture for a %dx%d bound\n", picture.width(), picture.height(), bound.width(),
                 bound.height());
    std::abort();
  }
  return 0;
}
