#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>

class QNetworkAccessManager;
class QNetworkRequest;

namespace korvid::online {

// The end of one HTTP request.
struct HttpAnswer {
  bool Complete = false;  // the whole answer came in time, and Qt saw no error in it
  int Status = 0;         // the HTTP status, 0 without an answer
  QByteArray Body;
  QByteArray ContentType;

  bool Succeeded() const { return Complete && Status >= 200 && Status < 300; }
};

enum class HttpVerb { Get, Post };

// Sends one request and waits for its answer at most `timeOut`. The wait runs the event loop,
// so windows stay painted and timers keep firing; a request still under way at the time-out is
// aborted and counts as unanswered.
HttpAnswer Exchange(QNetworkAccessManager& client, const QNetworkRequest& request, HttpVerb verb,
                    const QByteArray& body, std::chrono::milliseconds timeOut);

// The body as text: in the charset that the answer names, else as UTF-8 when it is valid UTF-8,
// else in code page 936, the code page the vendor's servers wrote for.
QString AnswerText(const HttpAnswer& answer);

}  // namespace korvid::online
