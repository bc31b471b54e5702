#pragma once

#include <QIcon>

namespace korvid::app {

// The pictures of the toolbars, drawn at run time.
enum class ToolIcon {
  ToolBox,
  Target,
  Folder,
  Sample,
  Run,
  Pause,
  Stop,
  Update,
  Support,
  Help,
  Exit,
  Up,
  Program,
};

QIcon MakeToolIcon(ToolIcon kind);

}  // namespace korvid::app
