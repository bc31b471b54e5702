#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/recover_command.h"
#include "cli/sources_command.h"
#include "engine/program_version.h"

int main(int argc, char** argv) {
  using namespace korvid::cli;

  CLI::App app{"korvid-cli: recovers AVI, MP4, MOV, 3GP and MXF recordings from disks, volumes and disk images.\n"
               "It scans the raw bytes for the chunks of AVI recordings, chains those that lie back\n"
               "to back, joins the pieces of each recording and writes it behind the header of a\n"
               "sample recorded by the same device. Its container mode brings back MP4, MOV, 3GP and\n"
               "MXF files whole, and rebuilds those cut off before their index from the sample."};
  app.footer(
      "Exit codes:\n"
      "  0    done\n"
      "  1    the run failed (a read or write error; files completed before it stay)\n"
      "  2    usage: bad options, a missing or unreadable source, sample or output folder\n"
      "  130  stopped with Ctrl-C: the chunk in hand was finished and what was found written");
  app.set_version_flag("--version", std::string("korvid-cli ") + korvid::ProgramVersion,
                       "Print the version (the one the window's update check sends) and exit");
  app.require_subcommand(1);

  RecoverOptions options;
  CLI::App* recover = app.add_subcommand("recover", "Scan a source and write every recording found as 1.AVI, 2.AVI, ... (container mode: 1.MP4, 2.MXF, ...)");
  recover->add_option("--source", options.Source,
                      "Disk, volume or image file to scan (opened read-only); PhysicalDriveN names disk N "
                      "of `korvid-cli sources`")->required();
  recover->add_option("--sample", options.Sample, "An intact recording by the same device: an AVI file for the whole-disk and free-space modes, an MP4, MOV "
                      "or MXF file for container mode")->required();
  recover->add_option("--output", options.Output, "Folder that receives the recovered files; made when it does not exist")->required();
  recover->add_option("--mode", options.Mode,
                      "whole-disk: AVI video chunks over the whole source (the default); free-space: AVI video "
                      "chunks in the free space of the file system(s) only; container: MP4, MOV, 3GP and MXF files, written whole, and MP4s cut off before their index rebuilt")
      ->check(CLI::IsMember({"whole-disk", "free-space", "container"}));
  CLI::Option* deep = recover->add_flag(
      "--deep", options.Deep,
      "whole-disk and free-space modes: follow every chunk of an AVI recording (sound, text, indexes, padding), "
      "not only its video frames, and join the pieces of fragmented recordings (the default)");
  recover->add_flag("--plain", options.Plain,
                    "Follow only video frames and write each chain of them as it lies, behind a plain copy of the "
                    "sample's header")
      ->excludes(deep);
  recover->add_flag("--no-reassemble", options.NoReassemble,
                    "Leave the pieces of a fragmented recording in files of their own");
  recover->add_flag("--keep-undecodable", options.KeepUndecodable,
                    "Keep the video frames before a file's first keyframe, which players cannot show");
  CLI::Option* repair = recover->add_flag_callback(
      "--repair-headers", [&options] { options.RepairHeaders = true; },
      "Give each file a header and an index that describe what it holds, so that players show its length and "
      "can seek (on unless --plain)");
  recover->add_flag_callback("--no-repair-headers", [&options] { options.RepairHeaders = false; },
                             "Write each file behind a plain copy of the sample's header, one file per piece")
      ->excludes(repair);
  recover->add_option("--retry-passes", options.RetryPasses,
                      "How often the scan comes back for what its first pass could not read on a failing disk: "
                      "the first time it reads what it skipped and closes in on the bad sectors, each later time "
                      "it tries the bad sectors again; 0: the first pass only (default 1)")
      ->check(CLI::NonNegativeNumber);
  recover->add_option("--max-bad-time", options.MaxBadSeconds,
                      "Seconds the scan may spend coming back for the bad areas of a failing disk, after its first "
                      "pass (0: none; default: no limit)")
      ->check(CLI::NonNegativeNumber);
  recover->add_flag("--resume", options.Resume,
                    "Go on from the progress file (korvid-progress.map) that an interrupted run of the same source "
                    "and mode left in the output folder: nothing it scanned is read again");
  recover->add_option("--map", options.KnownMap,
                      "A GNU ddrescue map file made while imaging the source: the areas it could not read are not "
                      "tried at all");
  recover->add_flag("--name-from-source", options.NameFromSource,
                    "Name each file after the directory entry, live or deleted, it was recorded as: "
                    "\"1 CH01_20261208_150000.AVI\" (a deleted FAT name's lost first letter is \"_\")");
  recover->add_flag("--json", options.Json, "Print the summary as one JSON object on stdout");
  recover->add_flag("--quiet", options.Quiet, "Print no progress and no text summary");
  recover->add_flag("--overwrite", options.Overwrite,
                    "Replace the 1.AVI, 2.MP4, ... that an earlier run left in the output folder, or start again over the "
                    "progress an interrupted run left there");
  recover->add_flag("--allow-same-device", options.AllowSameDevice,
                    "Write into a folder on the device being recovered (destroys what is recovered)");

  bool sourcesJson = false;
  CLI::App* list = app.add_subcommand("sources", "List the volumes and disks that can be recovered");
  list->add_flag("--json", sourcesJson, "Print the list as one JSON object on stdout");

  const std::vector<std::string> arguments = Utf8Arguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? ExitDone : ExitUsage;
  }
  if (recover->parsed()) return RunRecoverCommand(options);
  if (list->parsed()) return RunSourcesCommand(sourcesJson);
  return ExitUsage;
}
