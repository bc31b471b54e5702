// The update check against a server of the test's own on 127.0.0.1.
#include <QElapsedTimer>
#include <QLocale>
#include <QStringEncoder>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include "app/app_test_support.h"
#include "online/local_http_server.h"
#include "online/update_check.h"

using namespace korvid::online;
using korvid::app::testing::ScriptedBoxes;
using korvid::app::testing::ScriptedShell;
using korvid::online::testing::LocalHttpServer;
using korvid::online::testing::ReceivedRequest;
using korvid::online::testing::Reply;
using namespace std::chrono_literals;

namespace {

const QString NoUpdateText = QStringLiteral("未检测到新版本,您使用的已经是最新版本!\n是否去网站看看?");
const QUrl WebSite(QStringLiteral("https://korvid.example.com/"));

// The page of "getinfo.asp" answers "ok"; the POST gets `answers` in turn, the last one again.
LocalHttpServer::Answer UpdateServer(QList<Reply> answers) {
  auto left = std::make_shared<QList<Reply>>(std::move(answers));
  return [left](const ReceivedRequest& request) -> std::optional<Reply> {
    if (request.RequestLine.startsWith("GET")) return Reply{.Body = "ok"};
    return left->size() > 1 ? left->takeFirst() : left->first();
  };
}

LocalHttpServer::Answer Answering(const QByteArray& body) {
  return UpdateServer({Reply{.Body = body}});
}

struct Check {
  explicit Check(LocalHttpServer::Answer answer, std::chrono::milliseconds timeOut = 5s,
                 QString programName = QStringLiteral("Korvid"))
      : server(std::move(answer)),
        check({.Server = server.Base(),
               .ProgramName = std::move(programName),
               .ProgramVersion = QStringLiteral("2.6 S-12"),
               .WebSite = WebSite,
               .TimeOut = timeOut},
              boxes, shell) {}

  QList<QByteArray> RequestLines() const {
    QList<QByteArray> lines;
    for (const ReceivedRequest& request : server.requests) lines << request.RequestLine;
    return lines;
  }

  LocalHttpServer server;
  ScriptedBoxes boxes;
  ScriptedShell shell;
  UpdateCheck check;
};

void VerifyNoUpdateBox(const Check& c) {
  QCOMPARE(c.boxes.shown.size(), size_t{1});
  QCOMPARE(c.boxes.shown[0].Kind, QStringLiteral("ask"));
  QCOMPARE(c.boxes.shown[0].Caption, QStringLiteral("提醒"));
  QCOMPARE(c.boxes.shown[0].Text, NoUpdateText);
}

}  // namespace

class UpdateCheckTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QLocale::setDefault(QLocale::c()); }

  void productionTimeOutIsTenSecondsForEachRequest() {
    QCOMPARE(UpdateCheckSetup{}.TimeOut, std::chrono::milliseconds(10000));
  }

  void getThenPostWithTheOriginalHeaders() {
    Check c(Answering("2.5s-12"));
    QVERIFY(c.server.Listening());
    QVERIFY(c.check.FetchUpdateInfo().isEmpty());
    QCOMPARE(c.RequestLines(), QList<QByteArray>({"GET /getinfo.asp HTTP/1.1", "POST /getinfo.asp?name=korvid HTTP/1.1"}));
    for (const ReceivedRequest& request : c.server.requests) {
      QCOMPARE(request.Header("Accept"), QByteArray("text/html, */*"));
      QCOMPARE(request.Header("User-Agent"), QByteArray("Mozilla/3.0 (compatible; Indy Library)"));
    }
    const ReceivedRequest& post = c.server.requests[1];
    QCOMPARE(post.Header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(post.Header("Content-Length"), QByteArray("0"));
    QVERIFY(post.Body.isEmpty());
  }

  void queryNameIsLowerCasedInAsciiOnly() {
    Check c(Answering("2.5s-12"), 5s, QStringLiteral("KORVID Ä"));
    c.check.FetchUpdateInfo();
    QCOMPARE(c.RequestLines().value(1), QByteArray("POST /getinfo.asp?name=korvid%20%C3%84 HTTP/1.1"));
  }

  void newerAnswerIsReturnedConverted() {
    Check c(Answering("2.7s-12|修复了A|http://dl.example.com/k.exe"));
    QCOMPARE(c.check.FetchUpdateInfo(), QStringLiteral("2.7s-12\r修复了A\rhttp://dl.example.com/k.exe"));
  }

  void newerAnswerShowsTheFeaturesAndOpensTheDownload() {
    Check c(Answering("2.7s-12|修复了A|增加了B|http://dl.example.com/korvid.exe"));
    c.check.UpdateBtnClick(nullptr);
    // Two whole exchanges.
    QCOMPARE(c.server.requests.size(), 4);
    QCOMPARE(c.boxes.shown.size(), size_t{1});
    QCOMPARE(c.boxes.shown[0].Kind, QStringLiteral("ask"));
    QCOMPARE(c.boxes.shown[0].Caption, QStringLiteral("Korvid 专业版 2.7S-12 升级提醒"));
    QCOMPARE(c.boxes.shown[0].Text,
             QStringLiteral("发现Korvid 专业版最新版本!\n是否立刻下载更新软件到最新版本?\n\n更新功能如下:\n修复了A\n增加了B"
                            "\n\n\n官方网站: https://korvid.example.com/"));
    QCOMPARE(c.shell.opened, std::vector<QUrl>{QUrl("http://dl.example.com/korvid.exe")});
  }

  void cancelOpensNothing() {
    Check c(Answering("2.7s-12|修复了A|http://dl.example.com/korvid.exe"));
    c.boxes.answer = [](const QString&, const QString&) { return false; };
    c.check.UpdateBtnClick(nullptr);
    QCOMPARE(c.boxes.shown.size(), size_t{1});
    QVERIFY(c.shell.opened.empty());
  }

  void twoLinesGiveAnEmptyFeatureList() {
    Check c(Answering("2.6s-13|https://dl.example.com/k.exe"));
    c.check.UpdateBtnClick(nullptr);
    QCOMPARE(c.boxes.shown.size(), size_t{1});
    QCOMPARE(c.boxes.shown[0].Caption, QStringLiteral("Korvid 专业版 2.6S-13 升级提醒"));
    QVERIFY(c.boxes.shown[0].Text.endsWith(QStringLiteral("更新功能如下:\n\n\n官方网站: https://korvid.example.com/")));
    QCOMPARE(c.shell.opened, std::vector<QUrl>{QUrl("https://dl.example.com/k.exe")});
  }

  void oneLineHasNoAddressToOpen() {
    // The only line is the version text, which is no web address.
    Check c(Answering("2.7s-12"));
    c.check.UpdateBtnClick(nullptr);
    VerifyNoUpdateBox(c);
    QCOMPARE(c.shell.opened, std::vector<QUrl>{WebSite});
  }

  void olderOrEqualShowsTheNoUpdateBoxAfterOneExchange() {
    for (const QByteArray& body : {QByteArray("2.5s-11|新功能|http://dl.example.com/k.exe"),
                                   QByteArray("2.6s-12|新功能|http://dl.example.com/k.exe")}) {
      Check c(Answering(body));
      c.check.UpdateBtnClick(nullptr);
      QCOMPARE(c.server.requests.size(), 2);
      VerifyNoUpdateBox(c);
      // OK on the no-update box opens the vendor's site.
      QCOMPARE(c.shell.opened, std::vector<QUrl>{WebSite});
    }
  }

  void noUpdateBoxCancelledOpensNothing() {
    Check c(Answering("2.5s-11"));
    c.boxes.answer = [](const QString&, const QString&) { return false; };
    c.check.UpdateBtnClick(nullptr);
    VerifyNoUpdateBox(c);
    QVERIFY(c.shell.opened.empty());
  }

  void malformedAnswersShowTheNoUpdateBox() {
    for (const QByteArray& body : {QByteArray("<html>Server Error</html>"), QByteArray("2.7s-ab|x|http://dl.example.com/"),
                                   QByteArray("2.7-12|x|http://dl.example.com/"), QByteArray()}) {
      Check c(Answering(body));
      QVERIFY2(c.check.FetchUpdateInfo().isEmpty(), body.constData());
      c.check.UpdateBtnClick(nullptr);
      VerifyNoUpdateBox(c);
    }
  }

  void nonHttpDownloadAddressCountsAsNoUpdate() {
    for (const QByteArray& address : {QByteArray("file:///C:/Windows/system32/cmd.exe"), QByteArray("C:\\setup.exe"),
                                      QByteArray("ftp://dl.example.com/k.exe")}) {
      Check c(Answering("2.7s-12|新功能|" + address));
      c.check.UpdateBtnClick(nullptr);
      VerifyNoUpdateBox(c);
      QCOMPARE(c.shell.opened, std::vector<QUrl>{WebSite});
    }
  }

  void secondExchangeWithoutLinesShowsTheNoUpdateBox() {
    // Newer at first; then older, so the second exchange gives an empty text.
    Check older(UpdateServer({Reply{.Body = "2.7s-12|x|http://dl.example.com/k.exe"}, Reply{.Body = "2.5s-1"}}));
    older.check.UpdateBtnClick(nullptr);
    QCOMPARE(older.server.requests.size(), 4);
    VerifyNoUpdateBox(older);

    // Newer at first; then an error status.
    Check failing(UpdateServer({Reply{.Body = "2.7s-12|x|http://dl.example.com/k.exe"}, Reply{.Status = 500}}));
    failing.check.UpdateBtnClick(nullptr);
    QCOMPARE(failing.server.requests.size(), 4);
    VerifyNoUpdateBox(failing);
  }

  void errorStatusesCountAsFailures() {
    Check getFails([](const ReceivedRequest&) -> std::optional<Reply> { return Reply{.Status = 404, .Body = "2.7s-12"}; });
    getFails.check.UpdateBtnClick(nullptr);
    // The POST is not sent when the GET fails.
    QCOMPARE(getFails.server.requests.size(), 1);
    VerifyNoUpdateBox(getFails);

    Check postFails(UpdateServer({Reply{.Status = 503, .Body = "2.7s-12|x|http://dl.example.com/k.exe"}}));
    postFails.check.UpdateBtnClick(nullptr);
    VerifyNoUpdateBox(postFails);
  }

  void unreachableServerShowsTheNoUpdateBox() {
    QUrl closed;
    {
      LocalHttpServer gone(Answering("2.7s-12"));
      closed = gone.Base();
    }
    ScriptedBoxes boxes;
    ScriptedShell shell;
    UpdateCheck check({.Server = closed, .ProgramName = "Korvid", .ProgramVersion = "2.6s-12", .WebSite = WebSite},
                      boxes, shell);
    check.UpdateBtnClick(nullptr);
    QCOMPARE(boxes.shown.size(), size_t{1});
    QCOMPARE(boxes.shown[0].Text, NoUpdateText);
  }

  void silentServerTimesOutWhileTheWindowStaysResponsive() {
    Check c([](const ReceivedRequest&) { return std::optional<Reply>(); }, 400ms);

    // A window that is repainted, and a timer, both served while the check waits.
    QWidget window;
    window.resize(200, 100);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    struct PaintCounter : QObject {
      int paints = 0;
      bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
      }
    } counter;
    window.installEventFilter(&counter);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
      ++ticks;
      window.update();
    });
    timer.start(20);

    QElapsedTimer elapsed;
    elapsed.start();
    c.check.UpdateBtnClick(&window);
    const qint64 took = elapsed.elapsed();
    timer.stop();

    VerifyNoUpdateBox(c);
    QCOMPARE(c.server.requests.size(), 1);
    QVERIFY2(took >= 350 && took < 4000, QByteArray::number(took).constData());
    QVERIFY2(ticks >= 5, QByteArray::number(ticks).constData());
    QVERIFY2(counter.paints >= 3, QByteArray::number(counter.paints).constData());
  }

  void timeOutHoldsForEachRequest() {
    // The page answers, the POST does not.
    Check c(
        [](const ReceivedRequest& request) -> std::optional<Reply> {
          if (request.RequestLine.startsWith("GET")) return Reply{.Body = "ok"};
          return std::nullopt;
        },
        400ms);
    QElapsedTimer elapsed;
    elapsed.start();
    c.check.UpdateBtnClick(nullptr);
    QVERIFY(elapsed.elapsed() < 4000);
    QCOMPARE(c.server.requests.size(), 2);
    VerifyNoUpdateBox(c);
  }

  void slowAnswerWithinTheTimeOutCounts() {
    Check c(UpdateServer({Reply{.Body = "2.5s-11", .DelayMs = 300}}), 3s);
    c.check.UpdateBtnClick(nullptr);
    QCOMPARE(c.server.requests.size(), 2);
    VerifyNoUpdateBox(c);
    Check newer(UpdateServer({Reply{.Body = "2.7s-12|http://dl.example.com/k.exe", .DelayMs = 300}}), 3s);
    newer.check.UpdateBtnClick(nullptr);
    QCOMPARE(newer.shell.opened, std::vector<QUrl>{QUrl("http://dl.example.com/k.exe")});
  }

  void aClickDuringACheckDoesNothing() {
    Check c(UpdateServer({Reply{.Body = "2.5s-11", .DelayMs = 300}}), 3s);
    int clicksDuring = 0;
    QTimer::singleShot(100, [&] {
      ++clicksDuring;
      c.check.UpdateBtnClick(nullptr);
    });
    c.check.UpdateBtnClick(nullptr);
    QCOMPARE(clicksDuring, 1);
    QCOMPARE(c.server.requests.size(), 2);
    VerifyNoUpdateBox(c);
    // Once it is over, the command works again.
    c.check.UpdateBtnClick(nullptr);
    QCOMPARE(c.boxes.shown.size(), size_t{2});
  }

  void featureLinesInCodePage936OrUtf8() {
    QStringEncoder gbk("windows-936");
    QVERIFY(gbk.isValid());
    const QByteArray gbkBody = gbk.encode(QStringLiteral("2.7s-12|支持恢复|http://dl.example.com/k.exe"));
    for (const Reply& reply : {Reply{.Body = gbkBody},
                               Reply{.Body = gbkBody, .ContentType = "text/html; charset=GBK"},
                               Reply{.Body = QStringLiteral("2.7s-12|支持恢复|http://dl.example.com/k.exe").toUtf8()},
                               Reply{.Body = QStringLiteral("2.7s-12|支持恢复|http://dl.example.com/k.exe").toUtf8(),
                                     .ContentType = "text/plain; charset=\"utf-8\""}}) {
      Check c(UpdateServer({reply}));
      c.check.UpdateBtnClick(nullptr);
      QCOMPARE(c.boxes.shown.size(), size_t{1});
      QVERIFY2(c.boxes.shown[0].Text.contains(QStringLiteral("更新功能如下:\n支持恢复\n\n\n")), reply.ContentType);
    }
  }
};

QTEST_MAIN(UpdateCheckTest)
#include "update_check_test.moc"
