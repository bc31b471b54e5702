#pragma once

#include <QString>
#include <QStringList>
#include <stdexcept>

namespace korvid::online {

// A version text whose numbers do not convert.
class VersionConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The two numbers read from a version text such as "2.6s-12".
struct VersionNumbers {
  double Leading = 0;  // the first L − p characters, p being the position of the first "s"
  int Build = 0;       // everything after the first "-", or the whole text without one
};

// Reads the two numbers; the leading one in the number format of the default locale (the
// system's unless a test sets another). Throws VersionConversionError.
VersionNumbers ReadVersion(const QString& text);

// True when the server's leading number is greater, or when the low 8 bits of the own build
// number are less than those of the server's: either test alone counts. Throws
// VersionConversionError.
bool IsNewerVersion(const QString& own, const QString& server);

// Only the letters A to Z change case; every other character passes unchanged.
QString AsciiLower(const QString& text);
QString AsciiUpper(const QString& text);

// The own version as it is compared: lower-cased, every blank removed.
QString ComparableVersion(const QString& programVersion);

// The server answer with every "|" turned into a carriage return.
QString ConvertAnswer(const QString& answer);

// Splits into lines that end at a carriage return, a line feed or both together; a text that
// ends with a line break has no empty last line, and an empty text has no lines.
QStringList SplitLines(const QString& text);

}  // namespace korvid::online
