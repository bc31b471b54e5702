#include "app/program_name.h"

#include <QFileInfo>

#include "app/vendor_info.h"

namespace korvid::app {

QString ProgramNameFromPath(const QString& executablePath) {
  // Only the last extension goes, as with "korvid.v2.exe" -> "korvid.v2".
  return QFileInfo(executablePath).completeBaseName();
}

QString MainCaption(const QString& programName) {
  return programName + QStringLiteral(" 专业版") + QStringLiteral(" by ") + QString::fromUtf8(vendor::WebDomain);
}

}  // namespace korvid::app
