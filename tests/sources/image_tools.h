#pragma once
// Image files built with the file systems' own userspace tools, for the tests of the readers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvid::sources {

using Path = std::filesystem::path;

// Runs a shell command and returns what it printed (errors included); throws if it fails.
inline std::string RunCommand(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run: " + command);
  std::string output;
  char buffer[4096];
  size_t count;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
  if (pclose(pipe) != 0) throw std::runtime_error("failed: " + command + "\n" + output);
  return output;
}

inline std::string Quote(const Path& path) { return "'" + path.string() + "'"; }

// The first tool of the list that is not installed; empty when all are.
inline std::string MissingTool(const std::vector<std::string>& tools) {
  for (const std::string& tool : tools) {
    if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0) return tool;
  }
  return {};
}

#define REQUIRE_TOOLS(...)                                                        \
  do {                                                                            \
    if (const std::string missing = MissingTool({__VA_ARGS__}); !missing.empty()) \
      GTEST_SKIP() << missing << " is not installed";                             \
  } while (false)

inline void MakeImage(const Path& image, const std::string& size) {
  RunCommand("truncate -s " + size + " " + Quote(image));
}

// A file whose every 512-byte sector starts with `tag` and its number, so that each sector of
// its content can be found in an image.
inline void WriteMarkedFile(const Path& path, const std::string& tag, int sectors) {
  std::ofstream out(path, std::ios::binary);
  for (int i = 0; i < sectors; ++i) {
    std::string sector = tag + std::to_string(i);
    sector.resize(512, '.');
    out << sector;
  }
}

inline std::string ReadImage(const Path& image) {
  std::string bytes(std::filesystem::file_size(image), '\0');
  std::ifstream(image, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

}  // namespace korvid::sources
