#pragma once

#include <QImage>
#include <QSize>

namespace korvid::app {

// What a file shows that has no picture: a film frame with "无法预览", filling `bound`.
QImage PlaceholderPicture(QSize bound);
// What a file shows while its picture is being made: an empty film frame, filling `bound`.
QImage LoadingPicture(QSize bound);

}  // namespace korvid::app
