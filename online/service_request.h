#pragma once

#include <QString>
#include <QUrl>

namespace korvid::online {

// The bytes that a text takes in code page 936, the system code page of the form's users: a
// Chinese character counts 2.
qsizetype AnsiByteCount(const QString& text);

// The same count by rule, for Qt builds without a code page 936 codec: an ASCII character
// counts 1, any other character of the Basic Multilingual Plane 2, and one outside it 1, as
// the code page has no place for it and writes a single substitute.
qsizetype AnsiByteCountByRule(const QString& text);

// What one service request sends.
struct ServiceRequest {
  QString ProgramName;
  QString Name;
  QString FaultKind;
  QString MediumKind;
  QString Remark;
  QString Qq;
  QString Telephone;
};

// The request address: "index.php" on the service server with the query pname, custname, fkind,
// skind, memo, qq and tel, in this order. Values are percent-encoded as UTF-8, so that "&", "=",
// blanks and line breaks inside them stay in their value.
QUrl ServiceRequestUrl(const QUrl& server, const ServiceRequest& request);

}  // namespace korvid::online
