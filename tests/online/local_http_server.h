#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

namespace korvid::online::testing {

// One request as the server read it.
struct ReceivedRequest {
  QByteArray RequestLine;  // e.g. "GET /getinfo.asp HTTP/1.1"
  QList<std::pair<QByteArray, QByteArray>> Headers;
  QByteArray Body;

  QByteArray Header(const QByteArray& name) const {
    for (const auto& [key, value] : Headers) {
      if (key.compare(name, Qt::CaseInsensitive) == 0) return value;
    }
    return {};
  }
};

// What the server answers; no reply means it keeps the connection open and says nothing.
struct Reply {
  int Status = 200;
  QByteArray Body;
  QByteArray ContentType = "text/html";
  int DelayMs = 0;  // how long the server waits before it answers
};

// A small HTTP/1.1 server on 127.0.0.1 in the test's own thread: it answers while the client
// under test runs the event loop. Every connection gets one answer and is then closed.
class LocalHttpServer {
 public:
  using Answer = std::function<std::optional<Reply>(const ReceivedRequest&)>;

  explicit LocalHttpServer(Answer answer) : answer_(std::move(answer)) {
    server_.listen(QHostAddress::LocalHost);
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) Accept(socket);
    });
  }

  bool Listening() const { return server_.isListening(); }
  quint16 Port() const { return server_.serverPort(); }
  QUrl Base() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(Port())); }

  QList<ReceivedRequest> requests;

 private:
  void Accept(QTcpSocket* socket) {
    auto buffer = std::make_shared<QByteArray>();
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
      *buffer += socket->readAll();
      const qsizetype headEnd = buffer->indexOf("\r\n\r\n");
      if (headEnd < 0) return;
      ReceivedRequest request;
      const QList<QByteArray> lines = buffer->left(headEnd).split('\n');
      request.RequestLine = lines.first().trimmed();
      for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0) request.Headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
      }
      const qsizetype length = request.Header("Content-Length").toLongLong();
      if (buffer->size() < headEnd + 4 + length) return;
      request.Body = buffer->mid(headEnd + 4, length);
      buffer->clear();
      requests.append(request);
      const std::optional<Reply> reply = answer_(request);
      if (!reply) return;
      QTimer::singleShot(reply->DelayMs, socket, [socket, reply = *reply] { Send(socket, reply); });
    });
  }

  static void Send(QTcpSocket* socket, const Reply& reply) {
    socket->write("HTTP/1.1 " + QByteArray::number(reply.Status) + " Status\r\nContent-Type: " + reply.ContentType +
                  "\r\nContent-Length: " + QByteArray::number(reply.Body.size()) + "\r\nConnection: close\r\n\r\n" +
                  reply.Body);
    socket->disconnectFromHost();
  }

  QTcpServer server_;
  Answer answer_;
};

}  // namespace korvid::online::testing
