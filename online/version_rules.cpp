#include "online/version_rules.h"

#include <QLocale>

namespace korvid::online {

namespace {

QString MapAscii(const QString& text, char16_t from, char16_t to, int shift) {
  QString mapped = text;
  for (QChar& c : mapped) {
    if (c.unicode() >= from && c.unicode() <= to) c = QChar(c.unicode() + shift);
  }
  return mapped;
}

}  // namespace

QString AsciiLower(const QString& text) {
  return MapAscii(text, u'A', u'Z', 'a' - 'A');
}

QString AsciiUpper(const QString& text) {
  return MapAscii(text, u'a', u'z', 'A' - 'a');
}

QString ComparableVersion(const QString& programVersion) {
  return AsciiLower(programVersion).remove(QLatin1Char(' '));
}

VersionNumbers ReadVersion(const QString& text) {
  const qsizetype s = text.indexOf(QLatin1Char('s'));
  const qsizetype p = s < 0 ? 0 : s + 1;
  const QString leadingText = text.left(text.size() - p);

  QLocale locale;
  locale.setNumberOptions(QLocale::RejectGroupSeparator);
  bool ok = false;
  const double leading = locale.toDouble(leadingText, &ok);
  if (!ok) throw VersionConversionError("'" + leadingText.toStdString() + "' is not a valid floating point value");

  const qsizetype dash = text.indexOf(QLatin1Char('-'));
  const QString buildText = dash < 0 ? text : text.mid(dash + 1);
  const int build = buildText.toInt(&ok, 10);
  if (!ok) throw VersionConversionError("'" + buildText.toStdString() + "' is not a valid integer value");
  return {leading, build};
}

bool IsNewerVersion(const QString& own, const QString& server) {
  const VersionNumbers mine = ReadVersion(own);
  const VersionNumbers theirs = ReadVersion(server);
  const auto low8 = [](int build) { return static_cast<unsigned>(build) & 0xFFu; };
  return theirs.Leading > mine.Leading || low8(mine.Build) < low8(theirs.Build);
}

QString ConvertAnswer(const QString& answer) {
  QString converted = answer;
  return converted.replace(QLatin1Char('|'), QLatin1Char('\r'));
}

QStringList SplitLines(const QString& text) {
  QStringList lines;
  qsizetype start = 0;
  while (start < text.size()) {
    qsizetype end = start;
    while (end < text.size() && text[end] != u'\r' && text[end] != u'\n') ++end;
    lines << text.mid(start, end - start);
    if (end < text.size() && text[end] == u'\r') ++end;
    if (end < text.size() && text[end] == u'\n') ++end;
    start = end;
  }
  return lines;
}

}  // namespace korvid::online
