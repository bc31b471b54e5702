// The main window's way into the online services: "在线升级", "人工服务" and the hidden form.
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QLocale>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include "engine/program_version.h"
#include "app/app_test_support.h"
#include "app/vendor_info.h"
#include "online/local_http_server.h"
#include "online/service_form.h"
#include "online/version_rules.h"

using namespace korvid;
using app::testing::ScriptedBoxes;
using app::testing::ScriptedShell;
using online::testing::LocalHttpServer;
using online::testing::ReceivedRequest;
using online::testing::Reply;

namespace {

// A window named "KorvidPro" whose online services talk to `server`.
struct Window {
  explicit Window(const LocalHttpServer& server)
      : window({.Boxes = boxes,
                .Shell = shell,
                .ExecutablePath = QStringLiteral("/opt/korvid/KorvidPro"),
                .TickCount = 1234,
                .OpenSource = sources::OpenSource,
                .CacheFolder = cache.path().toStdString(),
                .UpdateServer = server.Base(),
                .ServiceServer = server.Base()}) {}

  ScriptedBoxes boxes;
  ScriptedShell shell;
  QTemporaryDir cache;
  app::TfrmMain window;
};

LocalHttpServer::Answer Newer() {
  return [](const ReceivedRequest& request) -> std::optional<Reply> {
    if (request.RequestLine.startsWith("POST")) return Reply{.Body = "1.1s-10|新版本|http://dl.korvid.example.com/k.exe"};
    return Reply{.Body = "ok"};
  };
}

}  // namespace

class WindowOnlineTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QLocale::setDefault(QLocale::c()); }

  void vendorAddressesAndVersion() {
    LocalHttpServer server(Newer());
    Window w(server);
    const app::MainWindowServices defaults{.Boxes = w.boxes, .Shell = w.shell};
    QCOMPARE(defaults.UpdateServer, QUrl(QString::fromUtf8(app::vendor::UpdateServer)));
    QCOMPARE(defaults.ServiceServer.port(), 8080);
    QCOMPARE(defaults.ServiceServer.scheme(), QStringLiteral("http"));
    // Both numbers of the own version convert, so a comparison can succeed.
    const online::VersionNumbers own =
        online::ReadVersion(online::ComparableVersion(QString::fromUtf8(ProgramVersion)));
    QCOMPARE(own.Leading, 1.0);
    QCOMPARE(own.Build, 10);
  }

  void updateButtonRunsTheCheckWithTheProgramName() {
    LocalHttpServer server(Newer());
    Window w(server);
    w.window.UpdateBtn->click();
    QCOMPARE(server.requests.size(), 4);
    QCOMPARE(server.requests[1].RequestLine, QByteArray("POST /getinfo.asp?name=korvidpro HTTP/1.1"));
    QCOMPARE(w.boxes.shown.size(), size_t{1});
    QCOMPARE(w.boxes.shown[0].Caption, QStringLiteral("KorvidPro 专业版 1.1S-10 升级提醒"));
    QVERIFY(w.boxes.shown[0].Text.endsWith(QStringLiteral("官方网站: ") + QString::fromUtf8(app::vendor::HomePage)));
    QCOMPARE(w.shell.opened, std::vector<QUrl>{QUrl("http://dl.korvid.example.com/k.exe")});
  }

  void menuItemReachesTheCheckEvenWithTheButtonDisabled() {
    LocalHttpServer server(Newer());
    Window w(server);
    // As during a run.
    w.window.UpdateBtn->setEnabled(false);
    w.window.Update1->trigger();
    QCOMPARE(server.requests.size(), 4);
    QCOMPARE(w.boxes.shown.size(), size_t{1});
  }

  void noUpdateBoxOpensTheHomePage() {
    LocalHttpServer server([](const ReceivedRequest&) -> std::optional<Reply> { return Reply{.Body = "1.0s-10"}; });
    Window w(server);
    w.window.UpdateBtn->click();
    QCOMPARE(w.boxes.shown.size(), size_t{1});
    QCOMPARE(w.boxes.shown[0].Caption, QStringLiteral("提醒"));
    QCOMPARE(w.shell.opened, std::vector<QUrl>{QUrl(QString::fromUtf8(app::vendor::HomePage))});
  }

  void serviceFormIsCreatedHidden() {
    LocalHttpServer server(Newer());
    Window w(server);
    QVERIFY(w.window.Form3 != nullptr);
    QVERIFY(!w.window.Form3->isVisible());
    QCOMPARE(w.window.Form3->windowTitle(), QStringLiteral("联系工程师"));
  }

  void serviceButtonAnnouncesThenShowsTheFormModally() {
    LocalHttpServer server([](const ReceivedRequest&) -> std::optional<Reply> { return Reply{}; });
    Window w(server);
    w.window.show();
    QWidget* modal = nullptr;
    size_t boxesBefore = 0;
    QTimer::singleShot(0, [&] {
      modal = QApplication::activeModalWidget();
      boxesBefore = w.boxes.shown.size();
      // The user fills in the form and submits it, then closes the window.
      w.window.Form3->sEdit1->setText(QStringLiteral("李四"));
      w.window.Form3->sEdit2->setText(QStringLiteral("010-1234"));
      w.window.Form3->sButton1->click();
      w.window.Form3->close();
    });
    w.window.RzBitBtn2->click();
    QCOMPARE(modal, static_cast<QWidget*>(w.window.Form3));
    QCOMPARE(boxesBefore, size_t{1});
    QCOMPARE(w.boxes.Texts(), QStringList({QStringLiteral("即将为您接通人工服务，请如实填写资料，工程师将主动与您联系。"),
                                           QStringLiteral("发送成功！")}));
    QVERIFY(!w.window.Form3->isVisible());
    QCOMPARE(server.requests.size(), 1);
    QVERIFY(server.requests[0].RequestLine.startsWith("GET /index.php?pname=KorvidPro&custname=%E6%9D%8E%E5%9B%9B&"));

    // Shown again, the form still holds what was entered.
    QTimer::singleShot(0, [&] { w.window.Form3->close(); });
    w.window.RzBitBtn2->click();
    QCOMPARE(w.window.Form3->sEdit1->text(), QStringLiteral("李四"));
  }
};

QTEST_MAIN(WindowOnlineTest)
#include "window_online_test.moc"
