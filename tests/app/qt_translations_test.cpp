// Qt's own texts in the program's language: with Qt's zh_CN catalogue installed as the program
// installs it at start, the real message boxes say 确定 and 取消, and the file dialog and the folder
// view are Chinese; without the catalogue the window starts and works all the same, in English.
#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileIconProvider>
#include <QFileSystemModel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <memory>

#include "app/main_window.h"
#include "app/qt_translations.h"
#include "app_test_support.h"

namespace korvid::app::testing {
namespace {

// Reads the first message box that opens while it exists and answers it with `press`.
class NextBox : public QObject {
 public:
  explicit NextBox(QMessageBox::StandardButton press) : press_(press) {
    connect(&poll_, &QTimer::timeout, this, [this] { Poll(); });
    poll_.start(20);
  }

  bool seen = false;
  QString text;
  QString ok;      // the OK button's text
  QString cancel;  // the Cancel button's text; empty without one

 private:
  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    poll_.stop();
    seen = true;
    text = box->text();
    if (QAbstractButton* button = box->button(QMessageBox::Ok)) ok = button->text();
    if (QAbstractButton* button = box->button(QMessageBox::Cancel)) cancel = button->text();
    if (QAbstractButton* button = box->button(press_)) {
      button->click();
    } else {
      box->reject();
    }
  }

  QMessageBox::StandardButton press_;
  QTimer poll_;
};

// The program's real window, and what Qt's own parts of it say.
struct TranslatedWindow : RealWindow {
  // "恢复" with no source chosen: the program's plain message for it, answered with OK.
  std::unique_ptr<NextBox> RunWithoutSource() {
    auto box = std::make_unique<NextBox>(QMessageBox::Ok);
    QTest::mouseClick(window.RunBtn, Qt::LeftButton, {}, QPoint(15, 20));
    return box;
  }

  QString FolderViewHeader(int column) const {
    return window.ShelllistModel->headerData(column, Qt::Horizontal).toString();
  }

  // What the folder view's type column says of a file of that name.
  QString FolderViewType(const QString& fileName) const {
    QTemporaryDir folder;
    QFile file(folder.filePath(fileName));
    if (!file.open(QIODevice::WriteOnly)) return QStringLiteral("cannot write ") + file.fileName();
    file.close();
    return window.ShelllistModel->iconProvider()->type(QFileInfo(file.fileName()));
  }

  QString FileDialogCancel() const {
    auto* buttons = window.od->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    return buttons != nullptr && buttons->button(QDialogButtonBox::Cancel) != nullptr
               ? buttons->button(QDialogButtonBox::Cancel)->text()
               : QString();
  }

};

class QtTranslationsTest : public QObject {
  Q_OBJECT

 private slots:
  // Runs first: once installed, the catalogue stays for the rest of the process.
  void missingFolderLeavesQtEnglish() {
    QTemporaryDir work;
    QVERIFY(!InstallQtTranslations(*qApp, work.filePath(QStringLiteral("no-translations"))));

    TranslatedWindow w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    const std::unique_ptr<NextBox> box = w.RunWithoutSource();
    QVERIFY(box->seen);
    QCOMPARE(box->text, QStringLiteral("请选择恢复目标!"));
    QCOMPARE(box->ok, QStringLiteral("OK"));
    QCOMPARE(w.FolderViewHeader(0), QStringLiteral("Name"));
    QCOMPARE(w.FileDialogCancel(), QStringLiteral("Cancel"));
    QVERIFY(!w.window.Running());
  }

  void catalogueMakesQtChinese() {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    QVERIFY2(QFileInfo::exists(folder + QStringLiteral("/qt_zh_CN.qm")),
             qPrintable(folder + QStringLiteral(" has no qt_zh_CN.qm: scripts/install-deps installs "
                                                "qt6-translations-l10n")));
    QVERIFY(InstallQtTranslations(*qApp));

    TranslatedWindow w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    const std::unique_ptr<NextBox> message = w.RunWithoutSource();
    QVERIFY(message->seen);
    QCOMPARE(message->text, QStringLiteral("请选择恢复目标!"));
    QCOMPARE(message->ok, QStringLiteral("确定"));
    QVERIFY(message->cancel.isEmpty());

    NextBox question(QMessageBox::Cancel);
    QVERIFY(!w.boxes.Ask(&w.window, QStringLiteral("暂停"), QStringLiteral("是否继续？")));
    QVERIFY(question.seen);
    QCOMPARE(question.ok, QStringLiteral("确定"));
    QCOMPARE(question.cancel, QStringLiteral("取消"));

    QCOMPARE(w.FolderViewHeader(0), QStringLiteral("名称"));
    QCOMPARE(w.FolderViewType(QStringLiteral("1.AVI")), QStringLiteral("AVI 视频"));
    QCOMPARE(w.FileDialogCancel(), QStringLiteral("取消"));
  }
};

}  // namespace
}  // namespace korvid::app::testing

QTEST_MAIN(korvid::app::testing::QtTranslationsTest)
#include "qt_translations_test.moc"
