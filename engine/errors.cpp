#include "errors.h"

#include <cstring>

namespace korvid {
namespace {

std::string Describe(ErrorKind kind, const std::string& path, const std::string& text) {
  switch (kind) {
    case ErrorKind::OpenFailed:
      return "Cannot open file \"" + path + "\". " + text;
    case ErrorKind::CreateFailed:
      return "Cannot create file \"" + path + "\". " + text;
    case ErrorKind::WriteFailed:
      return "Cannot write file \"" + path + "\". " + text;
    case ErrorKind::ReadFailed:
      return "Cannot read file \"" + path + "\". " + text;
    case ErrorKind::NoMovi:
      return "The sample \"" + path + "\" holds no \"movi\" list. " + text;
    case ErrorKind::NoMovieBox:
      return "The sample \"" + path + "\" holds no whole movie box (moov). " + text;
    case ErrorKind::ProgressUnusable:
      return "The file \"" + path + "\" cannot be used: " + text;
    case ErrorKind::WrongSample:
      return "The sample " + (path.empty() ? "" : "\"" + path + "\" ") + "does not fit this mode. " + text;
    case ErrorKind::NoHeaderPartition:
      return "The sample \"" + path + "\" holds no readable MXF header partition. " + text;
  }
  return path + ": " + text;
}

}  // namespace

KorvidError::KorvidError(ErrorKind kind, std::string path, std::string systemText)
    : std::runtime_error(Describe(kind, path, systemText)),
      kind_(kind),
      path_(std::move(path)),
      systemText_(std::move(systemText)) {}

std::string SystemErrorText(int error) { return std::strerror(error); }

}  // namespace korvid
