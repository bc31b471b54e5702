#include <unistd.h>

#include <atomic>
#include <csignal>

#include "cli/console.h"

namespace korvid::cli {
namespace {

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int) {
  interrupted.store(true);
  static const char kNote[] =
      "\nStopping after the current chunk; what was found will be written. "
      "Ctrl-C again ends at once.\n";
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, kNote, sizeof kNote - 1);
  std::signal(SIGINT, SIG_DFL);
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

bool IsInteractiveTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

void InstallInterruptHandler() { std::signal(SIGINT, OnInterrupt); }

bool InterruptRequested() { return interrupted.load(); }

}  // namespace korvid::cli
