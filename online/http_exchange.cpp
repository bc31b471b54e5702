#include "online/http_exchange.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QTimer>
#include <memory>

namespace korvid::online {

HttpAnswer Exchange(QNetworkAccessManager& client, const QNetworkRequest& request, HttpVerb verb,
                    const QByteArray& body, std::chrono::milliseconds timeOut) {
  const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(
      verb == HttpVerb::Get ? client.get(request) : client.post(request, body),
      [](QNetworkReply* r) { r->deleteLater(); });

  QEventLoop wait;
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(reply.get(), &QNetworkReply::finished, &wait, &QEventLoop::quit);
  QObject::connect(&deadline, &QTimer::timeout, &wait, &QEventLoop::quit);
  deadline.start(timeOut);
  if (!reply->isFinished()) wait.exec();

  HttpAnswer answer;
  if (!reply->isFinished()) {
    // Time-out, or the application is quitting and leaves every event loop.
    reply->abort();
    return answer;
  }
  // Error statuses, refused connections and answers cut short all count as errors.
  answer.Complete = reply->error() == QNetworkReply::NoError;
  answer.Status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  answer.Body = reply->readAll();
  answer.ContentType = reply->rawHeader("Content-Type");
  return answer;
}

QString AnswerText(const HttpAnswer& answer) {
  const qsizetype at = answer.ContentType.toLower().indexOf("charset=");
  if (at >= 0) {
    QByteArray charset = answer.ContentType.mid(at + 8);
    charset = charset.left(charset.indexOf(';')).trimmed().replace('"', QByteArray());
    QStringDecoder named(charset.constData());
    if (named.isValid()) return named.decode(answer.Body);
  }
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8.decode(answer.Body);
  if (!utf8.hasError()) return text;
  QStringDecoder cp936("windows-936");
  return cp936.isValid() ? cp936.decode(answer.Body) : QString::fromLatin1(answer.Body);
}

}  // namespace korvid::online
