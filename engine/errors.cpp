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
