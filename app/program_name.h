#pragma once

#include <QString>

namespace korvid::app {

// The executable's file name without folder and extension: ".../X.exe" gives "X".
QString ProgramNameFromPath(const QString& executablePath);

// The window caption and application title: ProgramName, " 专业版", " by " and the web domain.
QString MainCaption(const QString& programName);

}  // namespace korvid::app
