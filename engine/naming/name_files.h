#pragma once

#include <vector>

#include "engine/fragment_writer.h"
#include "engine/naming/source_entry.h"
#include "engine/source_device.h"

namespace korvid {

// Gives each complete file of `report` what the source knows of it: the entry among `entries`
// it was recorded as (MatchSourceEntries) and, for an AVI file, the time its own header states.
// With `rename`, a matched file "<n>.<kind>" becomes "<n> <entry name>.<kind>" (SourceNamedFile),
// unless a file of that name exists already. Each file's modification time is set to the
// recording's stated time, else its entry's modification time. A rename or time that cannot be
// set raises KorvidError (WriteFailed) naming the file.
void NameFiles(SourceDevice& source, const std::vector<SourceEntry>& entries, bool rename, WriteReport& report);

}  // namespace korvid
