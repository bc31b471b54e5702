#include "cli/sources_command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "cli/format.h"
#include "cli/recover_command.h"
#include "sources/source_catalog.h"
#include "sources/source_text.h"

namespace korvid::cli {
namespace {

struct Entry {
  std::string Kind;        // "volume" or "disk"
  std::string Name;        // the menu entry's name
  std::string SourceText;  // what choosing it writes into the Source field
  std::string DevicePath;  // what is opened
  std::string Caption;
};

std::vector<Entry> MenuEntries() {
  std::vector<Entry> entries;
  for (const sources::TNTVolumeInfo& volume : sources::QueryVolumes()) {
    if (!sources::KeepVolume(volume)) continue;
    entries.push_back({"volume", volume.Drive + "xx", volume.DevicePath, volume.DevicePath,
                       sources::VolumeCaption(volume, volume.Drive)});
  }
  for (const sources::DiskEntry& disk : sources::ListDisks()) {
    entries.push_back({"disk", disk.Name, disk.Name, disk.DevicePath, disk.Caption});
  }
  return entries;
}

}  // namespace

int RunSourcesCommand(bool json) {
  const std::vector<Entry> entries = MenuEntries();
  if (json) {
    std::printf("{\"sources\":[");
    for (size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      std::printf("%s{\"kind\":%s,\"name\":%s,\"source\":%s,\"path\":%s,\"caption\":%s}", i == 0 ? "" : ",",
                  JsonString(e.Kind).c_str(), JsonString(e.Name).c_str(), JsonString(e.SourceText).c_str(),
                  JsonString(e.DevicePath).c_str(), JsonString(e.Caption).c_str());
    }
    std::printf("]}\n");
    return ExitDone;
  }
  if (entries.empty()) {
    std::printf("No volume or disk can be opened read-only here (reading devices needs root on Linux, administrator rights on Windows).\n");
    return ExitDone;
  }
  std::printf("%-7s %-16s %-16s %-14s %s\n", "kind", "name", "source", "opens", "caption");
  for (const Entry& e : entries) {
    std::printf("%-7s %-16s %-16s %-14s %s\n", e.Kind.c_str(), e.Name.c_str(), e.SourceText.c_str(),
                e.DevicePath.c_str(), e.Caption.c_str());
  }
  return ExitDone;
}

}  // namespace korvid::cli
