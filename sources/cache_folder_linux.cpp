#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "sources/cache_folder.h"

namespace korvid::sources {

std::filesystem::path ExecutableFolder() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path(error) : self.parent_path();
}

std::filesystem::path DefaultCacheFolder() {
  const std::filesystem::path beside = ExecutableFolder() / "Cache";
  std::error_code error;
  std::filesystem::create_directories(beside, error);
  if (!error && ::access(beside.c_str(), W_OK) == 0) return beside;

  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && *xdg != '\0') {
    return std::filesystem::path(xdg) / "korvid";
  }
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : "/tmp") / ".cache" / "korvid";
}

}  // namespace korvid::sources
