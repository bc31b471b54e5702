#include "online/service_request.h"

#include <QStringEncoder>

namespace korvid::online {

qsizetype AnsiByteCount(const QString& text) {
  QStringEncoder cp936("windows-936");
  if (!cp936.isValid()) return AnsiByteCountByRule(text);
  return QByteArray(cp936.encode(text)).size();
}

qsizetype AnsiByteCountByRule(const QString& text) {
  qsizetype bytes = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      ++i;
      bytes += 1;
    } else {
      bytes += text[i].unicode() < 0x80 ? 1 : 2;
    }
  }
  return bytes;
}

QUrl ServiceRequestUrl(const QUrl& server, const ServiceRequest& request) {
  const auto value = [](const QString& text) { return QUrl::toPercentEncoding(text); };
  const QByteArray query = "pname=" + value(request.ProgramName) + "&custname=" + value(request.Name) +
                           "&fkind=" + value(request.FaultKind) + "&skind=" + value(request.MediumKind) +
                           "&memo=" + value(request.Remark) + "&qq=" + value(request.Qq) +
                           "&tel=" + value(request.Telephone);
  QUrl url = server.resolved(QUrl(QStringLiteral("index.php")));
  url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
  return url;
}

}  // namespace korvid::online
