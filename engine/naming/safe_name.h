#pragma once

#include <string>

namespace korvid {

// `name` with every character a file system refuses in a name (/ \ : * ? " < > | and control
// characters) replaced by "_", and the dots and spaces Windows drops at its end too.
std::string SafeFileName(const std::string& name);

// The name of file `number` of kind `kind` ("AVI") recorded as `sourceName`: "1 CH01_0001.AVI",
// the source name's own extension replaced by the kind's, which is what the file holds.
std::string SourceNamedFile(size_t number, const std::string& sourceName, const std::string& kind);

}  // namespace korvid
