#include <vector>

#include "sources/cache_folder.h"
#include "sources/open_source.h"
#include "sources/windows_device.h"

namespace korvid::sources {
namespace {

// An environment variable's value; empty when it is not set.
std::wstring Environment(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), size));
  return value;
}

}  // namespace

std::filesystem::path ExecutableFolder() {
  // Paths may be longer than MAX_PATH: grow the buffer until the whole name fits.
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return std::filesystem::current_path();
    if (length < name.size()) return std::filesystem::path(std::wstring(name.data(), length)).parent_path();
    name.resize(name.size() * 2);
  }
}

std::filesystem::path DefaultCacheFolder() {
  const std::filesystem::path beside = ExecutableFolder() / "Cache";
  std::error_code error;
  std::filesystem::create_directories(beside, error);
  if (!error && FolderWriteProblem(beside).empty()) return beside;

  // An installed program's folder is not the user's to write: the per-user local data folder.
  std::wstring local = Environment(L"LOCALAPPDATA");
  if (local.empty()) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    local.assign(temp, length);
  }
  return std::filesystem::path(local) / "Korvid";
}

}  // namespace korvid::sources
