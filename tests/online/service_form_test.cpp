// The service request form "联系工程师" against a server of the test's own on 127.0.0.1.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QtTest>

#include "app/app_test_support.h"
#include "online/local_http_server.h"
#include "online/service_form.h"

using namespace korvid::online;
using korvid::app::testing::ScriptedBoxes;
using korvid::app::testing::ScriptedShell;
using korvid::online::testing::LocalHttpServer;
using korvid::online::testing::ReceivedRequest;
using korvid::online::testing::Reply;
using namespace std::chrono_literals;

namespace {

const QString Sent = QStringLiteral("发送成功！");
const QString Failed = QStringLiteral("提交失败！请检查网络");
const QString TooLong = QStringLiteral("内容超长");

LocalHttpServer::Answer Status(int status) {
  return [status](const ReceivedRequest&) -> std::optional<Reply> { return Reply{.Status = status, .Body = "<html/>"}; };
}

struct Form {
  explicit Form(LocalHttpServer::Answer answer = Status(200), std::chrono::milliseconds timeOut = 5s)
      : server(std::move(answer)),
        form({.Server = server.Base(),
              .ProgramName = QStringLiteral("Korvid"),
              .ChatLink = QUrl(QStringLiteral("https://korvid.example.com/chat")),
              .SecondSite = QUrl(QStringLiteral("https://data.korvid.example.com/")),
              .StatusContact = QStringLiteral("服务热线: 400-000-0000"),
              .TimeOut = timeOut},
             boxes, shell) {}

  // Fills the two required fields with short valid values.
  void FillRequired() {
    form.sEdit1->setText(QStringLiteral("张三"));
    form.sEdit2->setText(QStringLiteral("13800000000"));
  }

  QStringList Texts() const { return boxes.Texts(); }

  LocalHttpServer server;
  ScriptedBoxes boxes;
  ScriptedShell shell;
  TForm3 form;
};

template <typename T>
T* Child(const QWidget& parent, const char* name) {
  return parent.findChild<T*>(QString::fromLatin1(name));
}

}  // namespace

class ServiceFormTest : public QObject {
  Q_OBJECT

 private slots:
  void productionTimeOutIsTenSeconds() { QCOMPARE(ServiceFormSetup{}.TimeOut, std::chrono::milliseconds(10000)); }

  void layoutAndTexts() {
    Form f;
    const TForm3& w = f.form;
    QVERIFY(!w.isVisible());
    QCOMPARE(w.windowTitle(), QStringLiteral("联系工程师"));
    QCOMPARE(w.size(), QSize(371, 590));
    QCOMPARE(w.sLabel1->text(), QStringLiteral("填写表单内容，工程师将在5分钟内与您联系："));
    QCOMPARE(w.sLabel2->text(), QStringLiteral("*  您的称呼："));
    QCOMPARE(w.sLabel3->text(), QStringLiteral("*  您的电话号码："));
    QCOMPARE(w.sLabel4->text(), QStringLiteral("QQ号码(没有可以不填)："));
    QCOMPARE(w.sLabel5->text(), QStringLiteral("备注：（可以填写详细一点的情况，方便工程师了解情况）"));
    QCOMPARE(w.sGroupBox1->title(), QStringLiteral("要恢复的类型"));
    QCOMPARE(w.sGroupBox2->title(), QStringLiteral("存储介质"));
    QCOMPARE(w.sButton1->text(), QStringLiteral("提交表单"));
    QCOMPARE(w.Button1->text(), QStringLiteral("联系客服QQ"));

    const QStringList captions = {"照片", "视频", "手机数据", "数据库", "office文档", "文件解密", "U盘无法识别", "硬盘无法识别",
                                  "其他", "硬盘，固态盘", "手机", "U盘，存储卡", "服务器", "NAS，阵列柜", "其他"};
    for (int i = 0; i < captions.size(); ++i) {
      const QByteArray name = "s" + QByteArray::number(i + 1);
      auto* box = Child<QCheckBox>(w, name.constData());
      QVERIFY2(box != nullptr, name.constData());
      QCOMPARE(box->text(), captions[i]);
      QCOMPARE(box->parentWidget(), i < 9 ? w.sGroupBox1 : w.sGroupBox2);
      QVERIFY(!box->isChecked());
    }
    // Every control lies inside the window.
    for (QWidget* child : w.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
      QVERIFY2(QRect(QPoint(0, 0), w.size()).contains(child->geometry()), qPrintable(child->objectName()));
    }
    QVERIFY(w.sStatusBar1->findChild<QLabel*>() != nullptr);
    QCOMPARE(w.sStatusBar1->findChildren<QLabel*>().first()->text(), QStringLiteral("服务热线: 400-000-0000"));
  }

  void byteCountsInCodePage936() {
    QCOMPARE(AnsiByteCount(QStringLiteral("中文a")), 5);
    QCOMPARE(AnsiByteCount(QStringLiteral("a\r\nb")), 4);
    QCOMPARE(AnsiByteCountByRule(QStringLiteral("中文a")), 5);
    QCOMPARE(AnsiByteCountByRule(QStringLiteral("a\r\nb，")), 6);
    // A character outside the Basic Multilingual Plane has no place in the code page.
    QCOMPARE(AnsiByteCountByRule(QString::fromUtf8("\xF0\x9F\x98\x80")), 1);
  }

  void emptyNameAndTelephone() {
    Form f;
    f.form.sButton1Click();
    QCOMPARE(f.Texts(), QStringList{QStringLiteral("称呼不能为空，谢谢")});
    f.form.sEdit1->setText(QStringLiteral("张三"));
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), QStringLiteral("联系电话不能为空，谢谢"));
    // A too long name with an empty telephone: the empty telephone is reported first.
    f.form.sEdit1->setText(QString(11, QChar(0x5F20)));
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), QStringLiteral("联系电话不能为空，谢谢"));
    QVERIFY(f.server.requests.isEmpty());
    // A plain message each, with the application title as caption.
    for (const ScriptedBoxes::Box& box : f.boxes.shown) QCOMPARE(box.Kind, QStringLiteral("inform"));
  }

  void nameOfBlanksPasses() {
    Form f;
    f.form.sEdit1->setText(QStringLiteral("  "));
    f.form.sEdit2->setText(QStringLiteral(" "));
    f.form.sButton1Click();
    QCOMPARE(f.Texts(), QStringList{Sent});
    QCOMPARE(f.server.requests.size(), 1);
  }

  void nameAndTelephoneTakeAtMostTwentyBytes() {
    Form f;
    f.FillRequired();
    f.form.sEdit1->setText(QString(10, QChar(0x5F20)));  // 10 Chinese characters: 20 bytes
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), Sent);
    f.form.sEdit1->setText(QString(11, QChar(0x5F20)));
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), TooLong);
    f.form.sEdit1->setText(QString(19, QLatin1Char('a')) + QChar(0x5F20));  // 21 bytes
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), TooLong);
    f.form.sEdit1->setText(QString(20, QLatin1Char('a')));
    f.form.sEdit2->setText(QString(20, QLatin1Char('1')));
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), Sent);
    f.form.sEdit2->setText(QString(21, QLatin1Char('1')));
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), TooLong);
    QCOMPARE(f.server.requests.size(), 2);
  }

  void remarkTakesAtMostFiveHundredBytes() {
    Form f;
    f.FillRequired();
    f.form.Memo1->setPlainText(QString(250, QChar(0x4E2D)));  // 500 bytes
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), Sent);
    f.form.Memo1->setPlainText(QString(249, QChar(0x4E2D)) + QStringLiteral("ab"));  // 500 bytes
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), Sent);
    f.form.Memo1->setPlainText(QString(250, QChar(0x4E2D)) + QLatin1Char('a'));  // 501 bytes
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), TooLong);
    // A line break counts 2: 498 + 2 pass, 499 + 2 fail.
    f.form.Memo1->setPlainText(QString(249, QLatin1Char('a')) + QLatin1Char('\n') + QString(249, QLatin1Char('b')));
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), Sent);
    f.form.Memo1->setPlainText(QString(250, QLatin1Char('a')) + QLatin1Char('\n') + QString(249, QLatin1Char('b')));
    f.form.sButton1Click();
    QCOMPARE(f.Texts().last(), TooLong);
    QCOMPARE(f.server.requests.size(), 3);
  }

  void exactRequestLine() {
    Form f;
    f.FillRequired();
    f.form.FaultBoxes[1]->setChecked(true);  // 视频
    f.form.Memo1->setPlainText(QStringLiteral("a&b=c d\nline2"));
    f.form.sButton1Click();
    QCOMPARE(f.server.requests.size(), 1);
    QCOMPARE(f.server.requests[0].RequestLine,
             QByteArray("GET /index.php?pname=Korvid&custname=%E5%BC%A0%E4%B8%89&fkind=%E8%A7%86%E9%A2%91%20&skind="
                        "&memo=a%26b%3Dc%20d%0D%0Aline2&qq=&tel=13800000000 HTTP/1.1"));
    QCOMPARE(f.server.requests[0].Header("Host"), "127.0.0.1:" + QByteArray::number(f.server.Port()));
    QCOMPARE(f.Texts(), QStringList{Sent});
  }

  void firstTickedBoxOfEachGroupWins() {
    Form f;
    f.FillRequired();
    f.form.sEdit3->setText(QStringLiteral("12345"));
    f.form.FaultBoxes[1]->setChecked(true);   // 视频
    f.form.FaultBoxes[3]->setChecked(true);   // 数据库
    f.form.MediumBoxes[2]->setChecked(true);  // U盘，存储卡
    f.form.MediumBoxes[4]->setChecked(true);  // NAS，阵列柜
    f.form.sButton1Click();
    QCOMPARE(f.form.FaultKind, QStringLiteral("视频 "));
    QCOMPARE(f.form.MediumKind, QStringLiteral("U盘存储卡 "));
    QVERIFY(f.server.requests.value(0).RequestLine.contains(
        "&fkind=%E8%A7%86%E9%A2%91%20&skind=U%E7%9B%98%E5%AD%98%E5%82%A8%E5%8D%A1%20&memo=&qq=12345&tel="));

    // The later boxes send their own texts once the earlier ones are cleared.
    f.form.FaultBoxes[1]->setChecked(false);
    f.form.MediumBoxes[2]->setChecked(false);
    f.form.sButton1Click();
    QCOMPARE(f.form.FaultKind, QStringLiteral("数据库 "));
    QCOMPARE(f.form.MediumKind, QStringLiteral("nas,阵列柜 "));
    QVERIFY(f.server.requests.value(1).RequestLine.contains("&skind=nas%2C%E9%98%B5%E5%88%97%E6%9F%9C%20&"));
  }

  void everyBoxSendsItsText() {
    Form f;
    f.FillRequired();
    const QStringList faults = {"照片 ", "视频 ", "手机数据 ", "数据库 ", "office 文档 ", "文件解密 ", "U盘无法识别 ", "硬盘无法识别 ", "其他 "};
    const QStringList media = {"硬盘，固态盘 ", "手机 ", "U盘存储卡 ", "服务器 ", "nas,阵列柜 ", "其他 "};
    for (int i = 0; i < faults.size(); ++i) {
      for (QCheckBox* box : f.form.FaultBoxes) box->setChecked(false);
      for (QCheckBox* box : f.form.MediumBoxes) box->setChecked(false);
      f.form.FaultBoxes[i]->setChecked(true);
      if (i < media.size()) f.form.MediumBoxes[i]->setChecked(true);
      f.form.sButton1Click();
      QCOMPARE(f.form.FaultKind, faults[i]);
      QCOMPARE(f.form.MediumKind, i < media.size() ? media[i] : QString());
      const QByteArray line = f.server.requests.last().RequestLine;
      QVERIFY2(line.contains("&fkind=" + QUrl::toPercentEncoding(faults[i]) + "&"), line.constData());
    }
  }

  void emptyGroupsSendEmptyValuesAndTheKeysStillGo() {
    Form f;
    f.FillRequired();
    f.form.sButton1Click();
    const QByteArray line = f.server.requests.value(0).RequestLine;
    QVERIFY2(line.contains("&fkind=&skind=&memo=&qq=&tel=13800000000 "), line.constData());
  }

  void kindsAreClearedOnEverySubmission() {
    Form f;
    f.FillRequired();
    f.form.FaultBoxes[0]->setChecked(true);
    f.form.MediumBoxes[0]->setChecked(true);
    f.form.sButton1Click();
    QCOMPARE(f.form.FaultKind, QStringLiteral("照片 "));
    f.form.sEdit1->clear();
    f.form.sButton1Click();
    QVERIFY(f.form.FaultKind.isEmpty());
    QVERIFY(f.form.MediumKind.isEmpty());
  }

  void successOnlyOnTwoHundreds() {
    for (const int status : {200, 201, 204, 299}) {
      Form f(Status(status));
      f.FillRequired();
      f.form.sButton1Click();
      QCOMPARE(f.Texts(), QStringList{Sent});
    }
    for (const int status : {301, 400, 404, 500, 503}) {
      Form f(Status(status));
      f.FillRequired();
      f.form.sButton1Click();
      QCOMPARE(f.server.requests.size(), 1);
      QVERIFY2(f.Texts() == QStringList{Failed}, QByteArray::number(status).constData());
    }
  }

  void silentServerTimesOut() {
    Form f([](const ReceivedRequest&) { return std::optional<Reply>(); }, 300ms);
    f.FillRequired();
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    f.form.sButton1Click();
    QCOMPARE(f.Texts(), QStringList{Failed});
    QVERIFY2(ticks >= 5, QByteArray::number(ticks).constData());
  }

  void unreachableServerFails() {
    QUrl closed;
    {
      LocalHttpServer gone(Status(200));
      closed = gone.Base();
    }
    ScriptedBoxes boxes;
    ScriptedShell shell;
    TForm3 form({.Server = closed, .ProgramName = "Korvid"}, boxes, shell);
    form.sEdit1->setText(QStringLiteral("张三"));
    form.sEdit2->setText(QStringLiteral("1"));
    form.sButton1Click();
    QCOMPARE(boxes.Texts(), QStringList{Failed});
  }

  void entriesStayAndTwiceSendsTheSameTwice() {
    for (const int status : {200, 500}) {
      Form f(Status(status));
      f.FillRequired();
      f.form.sEdit3->setText(QStringLiteral("10001"));
      f.form.FaultBoxes[4]->setChecked(true);
      f.form.MediumBoxes[5]->setChecked(true);
      f.form.Memo1->setPlainText(QStringLiteral("第一行\n第二行"));
      f.form.sButton1Click();
      f.form.sButton1Click();
      QCOMPARE(f.server.requests.size(), 2);
      QCOMPARE(f.server.requests[0].RequestLine, f.server.requests[1].RequestLine);
      QCOMPARE(f.form.sEdit1->text(), QStringLiteral("张三"));
      QCOMPARE(f.form.sEdit2->text(), QStringLiteral("13800000000"));
      QCOMPARE(f.form.sEdit3->text(), QStringLiteral("10001"));
      QVERIFY(f.form.FaultBoxes[4]->isChecked());
      QVERIFY(f.form.MediumBoxes[5]->isChecked());
      QCOMPARE(f.form.Memo1->toPlainText(), QStringLiteral("第一行\n第二行"));
    }
  }

  void submitButtonIsDisabledWhileSending() {
    bool enabledDuring = true;
    Form* form = nullptr;
    Form f([&](const ReceivedRequest&) -> std::optional<Reply> {
      enabledDuring = form->form.sButton1->isEnabled();
      return Reply{.Status = 200, .DelayMs = 50};
    });
    form = &f;
    f.FillRequired();
    f.form.sButton1Click();
    QCOMPARE(f.server.requests.size(), 1);
    QVERIFY(!enabledDuring);
    QVERIFY(f.form.sButton1->isEnabled());
  }

  void productionAddressKeepsItsPort() {
    const QUrl url = ServiceRequestUrl(QUrl(QStringLiteral("http://service.korvid.example.com:8080/")),
                                       {.ProgramName = "Korvid", .Name = "a", .Telephone = "1"});
    QCOMPARE(url.toEncoded(), QByteArray("http://service.korvid.example.com:8080/index.php?pname=Korvid&custname=a"
                                         "&fkind=&skind=&memo=&qq=&tel=1"));
  }

  void chatButtonAndStatusBarOpenTheirPages() {
    Form f;
    f.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.form));
    QTest::mouseClick(f.form.Button1, Qt::LeftButton);
    QTest::mouseClick(f.form.sStatusBar1, Qt::LeftButton);
    QCOMPARE(f.shell.opened, (std::vector<QUrl>{QUrl("https://korvid.example.com/chat"),
                                                QUrl("https://data.korvid.example.com/")}));
    QVERIFY(f.boxes.shown.empty());
  }

  void buttonClickSubmits() {
    Form f;
    f.FillRequired();
    f.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.form));
    QTest::mouseClick(f.form.sButton1, Qt::LeftButton);
    QCOMPARE(f.Texts(), QStringList{Sent});
    // Enter in a field does not submit.
    f.form.sEdit2->setFocus();
    QTest::keyClick(f.form.sEdit2, Qt::Key_Return);
    QCOMPARE(f.server.requests.size(), 1);
  }
};

QTEST_MAIN(ServiceFormTest)
#include "service_form_test.moc"
