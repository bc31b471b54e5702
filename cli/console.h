#pragma once

#include <cstdio>
#include <string>
#include <vector>

// What korvid-cli needs of its console that differs between systems; one implementation per
// platform (console_linux.cpp, console_windows.cpp).
namespace korvid::cli {

// The command line as UTF-8, the encoding of every text the program handles (on Windows the
// arguments are taken in UTF-16 from the system, and the console is set to show UTF-8).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// True when `stream` is an interactive terminal that takes the escape sequence which clears the
// rest of a line (the progress bar redraws its line with it).
bool IsInteractiveTerminal(std::FILE* stream);

// Ctrl-C asks the running scan to stop; a second one ends the program at once.
void InstallInterruptHandler();
bool InterruptRequested();

}  // namespace korvid::cli
