// Errors that no handler deals with reach the general error report, and the program goes on.
#include <QPushButton>
#include <QTest>

#include "app/application.h"
#include "app_test_support.h"
#include "engine/errors.h"

namespace korvid::app::testing {
namespace {

class ErrorReportTest : public QObject {
  Q_OBJECT

 public:
  explicit ErrorReportTest(ScriptedBoxes& boxes) : boxes_(boxes) {}

 private:
  ScriptedBoxes& boxes_;

 private slots:
  void init() { boxes_.shown.clear(); }

  void errorOfAClickHandlerIsReported() {
    QPushButton button(QStringLiteral("go"));
    int clicks = 0;
    connect(&button, &QPushButton::clicked, [&] {
      if (++clicks == 1) throw KorvidError(ErrorKind::OpenFailed, "/dev/sdz", "No such file or directory");
    });
    QTest::mouseClick(&button, Qt::LeftButton);
    QCOMPARE(boxes_.shown.size(), size_t{1});
    QCOMPARE(boxes_.shown[0].Kind, QStringLiteral("error"));
    QCOMPARE(boxes_.shown[0].Text, QStringLiteral("Cannot open file \"/dev/sdz\". No such file or directory"));
    // The program goes on: the next click is handled as usual.
    QTest::mouseClick(&button, Qt::LeftButton);
    QCOMPARE(clicks, 2);
    QCOMPARE(boxes_.shown.size(), size_t{1});
  }

  void exhaustedMemoryIsReportedToo() {
    QPushButton button(QStringLiteral("go"));
    connect(&button, &QPushButton::clicked, [] { throw std::bad_alloc(); });
    QTest::mouseClick(&button, Qt::LeftButton);
    QCOMPARE(boxes_.Texts(), QStringList{QStringLiteral("Out of memory")});
  }
};

}  // namespace
}  // namespace korvid::app::testing

int main(int argc, char* argv[]) {
  korvid::app::testing::ScriptedBoxes boxes;
  korvid::app::ErrorReportingApplication application(argc, argv, boxes);
  korvid::app::testing::ErrorReportTest test(boxes);
  return QTest::qExec(&test, argc, argv);
}

#include "error_report_test.moc"
