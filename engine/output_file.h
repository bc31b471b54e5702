#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace korvid {

// A file created for writing whose every write is checked: a full disk or an I/O error raises
// a KorvidError naming the file, so no output is ever truncated silently.
class OutputFile {
 public:
  // Creates the file, replacing one of that name.
  explicit OutputFile(std::filesystem::path path);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  void Write(const uint8_t* data, size_t length);
  // Flushes and closes; raises the error a delayed write reports here.
  void Close();

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::FILE* file_ = nullptr;
};

}  // namespace korvid
