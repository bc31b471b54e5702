#pragma once

namespace korvid::cli {

// Prints what the source menu offers: the volumes, then the disks. Returns the exit code.
int RunSourcesCommand(bool json);

}  // namespace korvid::cli
