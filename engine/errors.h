#pragma once

#include <stdexcept>
#include <string>

namespace korvid {

// What went wrong, so that front ends can pick their own wording and exit code.
enum class ErrorKind {
  OpenFailed,    // a file or device could not be opened
  CreateFailed,  // an output or cache file could not be created
  WriteFailed,   // a write or close of an output file failed (full disk, I/O error)
  ReadFailed,    // a file that must be read whole could not be
  NoMovi,        // a sample without the "movi" list id
  NoMovieBox,    // an ISO media sample without a whole movie box
  NoHeaderPartition,  // an MXF sample whose header partition cannot be read
  WrongSample,   // a sample of a kind the mode cannot use
  ProgressUnusable,  // a progress or map file that is damaged or belongs to another source
};

// An engine failure that names the file concerned and carries the system's text.
class KorvidError : public std::runtime_error {
 public:
  KorvidError(ErrorKind kind, std::string path, std::string systemText);

  ErrorKind Kind() const { return kind_; }
  const std::string& Path() const { return path_; }
  const std::string& SystemText() const { return systemText_; }

 private:
  ErrorKind kind_;
  std::string path_;
  std::string systemText_;
};

// The system's text for an errno value.
std::string SystemErrorText(int error);

}  // namespace korvid
