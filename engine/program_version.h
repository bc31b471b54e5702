#pragma once

namespace korvid {

// The program's version, as the update check sends it and `korvid-cli --version` prints it:
// leading number "1.0" (as many characters as follow the "s"), build number 10.
inline constexpr const char* ProgramVersion = "1.0s-10";

}  // namespace korvid
