#pragma once

#include <QString>

#include "engine/scan_driver.h"

namespace korvid::app {

// What came of a run, in one paragraph for the lower pane: files written and where, recordings
// joined from pieces, whether the scan was stopped, bytes that could not be read, and the error that ended it, if any.
QString RunOutcomeText(const RecoveryReport& report, const QString& error, const QString& outputFolder);

}  // namespace korvid::app
