// The window's commands that need no run: the checks before a run, the busy state, the
// remaining-time caption, themes, caption and title, the output folder view and the sample.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include "app/program_name.h"
#include "app/themes.h"
#include "app_test_support.h"

namespace korvid::app::testing {
namespace {

using Handler = void (TfrmMain::*)();

class WindowCommandsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir work;

  static void TouchFile(const QString& path) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
  }

 private slots:
  void preconditionsInTheirOrder_data() {
    QTest::addColumn<int>("command");
    QTest::newRow("RunBtnClick") << 0;
    QTest::newRow("N9Click") << 1;
    QTest::newRow("N10Click") << 2;
  }

  void preconditionsInTheirOrder() {
    QFETCH(int, command);
    const Handler handlers[] = {&TfrmMain::RunBtnClick, &TfrmMain::N9Click, &TfrmMain::N10Click};
    WindowFixture f;
    const auto run = [&] { (f.window.*handlers[command])(); };
    const QString image = work.filePath(QStringLiteral("pre.img"));
    TestImage(4096).Write(image);

    run();
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("请选择恢复目标!")});
    QCOMPARE(f.boxes.shown[0].Kind, QStringLiteral("inform"));
    QCOMPARE(f.boxes.shown[0].Caption, f.window.windowTitle());

    f.window.Source->setText(image);
    run();
    QCOMPARE(f.boxes.Texts().last(), QStringLiteral("请选择保存路径!"));

    // Any text but the initial one counts as a chosen folder, the empty one too.
    f.window.Edit1->setText(QString());
    run();
    QCOMPARE(f.boxes.Texts().last(), QStringLiteral("请选择样本文件!"));
    QCOMPARE(f.boxes.shown.size(), size_t{3});
    QVERIFY(!f.window.Running());
    QVERIFY(f.window.RunBtn->isEnabled());
    QVERIFY(!f.window.ElapsedTime->isActive());
  }

  void beginRunDisablesTheInputsAndEndRunEnablesThem() {
    WindowFixture f;
    std::vector<QWidget*> order;
    const std::vector<QWidget*> inputs = {f.window.Source, f.window.Edit1, f.window.ToolBoxBtn,
                                          f.window.RecBtn, f.window.SaveBtn, f.window.RunBtn,
                                          f.window.UpdateBtn, f.window.SupportBtn, f.window.BtnSelectAll};
    struct Watcher : QObject {
      std::vector<QWidget*>* seen;
      bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::EnabledChange) seen->push_back(static_cast<QWidget*>(o));
        return false;
      }
    } watcher;
    watcher.seen = &order;
    for (QWidget* w : inputs) w->installEventFilter(&watcher);

    f.window.BeginRun();
    QCOMPARE(order, inputs);
    for (QWidget* w : inputs) QVERIFY(!w->isEnabled());
    for (QWidget* w : {f.window.PauseBtn, f.window.StopBtn, f.window.helpBtn, f.window.ExitBtn}) {
      QVERIFY(w->isEnabled());
    }
    QVERIFY(f.window.ElapsedTime->isActive());
    QCOMPARE(f.window.Remaining.ElapsedTicks, 1);

    order.clear();
    f.window.EndRun();
    QCOMPARE(order, inputs);
    for (QWidget* w : inputs) QVERIFY(w->isEnabled());
    QVERIFY(!f.window.ElapsedTime->isActive());
    QCOMPARE(f.window.TimeLabel->text(), QStringLiteral("剩余时间: "));
  }

  void remainingTimeAfterTenTicks() {
    WindowFixture f;
    QCOMPARE(f.window.ElapsedTime->interval(), 1000);
    f.window.BeginRun();
    f.window.gg->setRange(0, 5500000);
    f.window.gg->setValue(550000);
    for (int tick = 0; tick < 10; ++tick) f.window.ElapsedTimeTimer();
    QCOMPARE(f.window.Remaining.ElapsedTicks, 11);
    QCOMPARE(f.window.TimeLabel->text(), QStringLiteral("剩余时间: 1 : 39"));
    f.window.EndRun();
  }

  void remainingTimeKeepsItsTextWhileTheRateIsZero() {
    WindowFixture f;
    f.window.BeginRun();
    f.window.gg->setRange(0, 5500000);
    for (int tick = 0; tick < 9; ++tick) f.window.ElapsedTimeTimer();
    QCOMPARE(f.window.TimeLabel->text(), QStringLiteral("剩余时间:"));
    // The tenth tick: 5 div 11 is 0.
    f.window.gg->setValue(5);
    f.window.ElapsedTimeTimer();
    QCOMPARE(f.window.Remaining.ElapsedTicks, 11);
    QCOMPARE(f.window.TimeLabel->text(), QStringLiteral("剩余时间:"));
    f.window.EndRun();
  }

  void stopWithoutRunZeroesTheGaugeOnly() {
    WindowFixture f;
    f.window.gg->setRange(0, 100);
    f.window.gg->setValue(40);
    f.window.StopBtnClick();
    QCOMPARE(f.window.gg->value(), 0);
    QVERIFY(f.window.StopRequested);
    QVERIFY(f.boxes.shown.empty());
  }

  void pauseWithoutRunStillAsks() {
    WindowFixture f;
    f.boxes.answer = [](const QString&, const QString&) { return false; };
    f.window.PauseBtnClick();
    QCOMPARE(f.boxes.shown.size(), size_t{1});
    QCOMPARE(f.boxes.shown[0].Kind, QStringLiteral("ask"));
    QCOMPARE(f.boxes.shown[0].Caption, QStringLiteral("暂停"));
    QCOMPARE(f.boxes.shown[0].Text, QStringLiteral("是否继续？"));
    QVERIFY(f.window.StopRequested);
  }

  void themeDigitTable_data() {
    QTest::addColumn<qulonglong>("tick");
    QTest::addColumn<QString>("theme");
    QTest::newRow("0") << 0ull << "Acryl (internal)";
    QTest::newRow("7") << 7ull << "Office12Style (internal)";
    QTest::newRow("10") << 10ull << "Beijing (internal)";
    QTest::newRow("29") << 29ull << "BlueGauze (internal)";
    QTest::newRow("1234") << 1234ull << "BlueIce (internal)";
    QTest::newRow("4040") << 4040ull << "Desert (internal)";
    QTest::newRow("99956") << 99956ull << "Golden (internal)";
    QTest::newRow("861") << 861ull << "MacOS (internal)";
    QTest::newRow("3000000075") << 3000000075ull << "Office12Style (internal)";
    QTest::newRow("81") << 81ull << "WMP11 (internal)";
    QTest::newRow("18446744073709551595") << 18446744073709551595ull << "Office2007 Black (internal)";
  }

  void themeDigitTable() {
    QFETCH(qulonglong, tick);
    QFETCH(QString, theme);
    QCOMPARE(ThemeForTickCount(tick), theme);
    WindowFixture f(nullptr, tick);
    QCOMPARE(f.window.sm.Theme(), theme);
  }

  void everyThemeHasItsOwnLook() {
    QWidget a, b;
    ThemeManager sm;
    QSet<QString> sheets;
    QSet<QRgb> windows;
    for (const char* name : ThemeNames) {
      QVERIFY(sm.SetTheme(QString::fromLatin1(name), a));
      sheets.insert(a.styleSheet());
      windows.insert(a.palette().color(QPalette::Window).rgb());
    }
    QCOMPARE(sheets.size(), 10);
    QCOMPARE(windows.size(), 10);
    QCOMPARE(sm.Theme(), QStringLiteral("Office2007 Black (internal)"));
    QVERIFY(!sm.SetTheme(QStringLiteral("Nonesuch"), b));
    QCOMPARE(sm.Theme(), QStringLiteral("Office2007 Black (internal)"));
    QCOMPARE(QString::fromLatin1(ThemeNames[3]), QString::fromLatin1(DesignedTheme));
  }

  void captionAndTitleFollowTheExecutableName_data() {
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("programName");
    QTest::newRow("windows") << "C:/Tools/视频恢复.exe" << "视频恢复";
    QTest::newRow("dotted") << "/opt/x/korvid.v2.exe" << "korvid.v2";
    QTest::newRow("bare") << "/usr/bin/avi-rescue" << "avi-rescue";
  }

  void captionAndTitleFollowTheExecutableName() {
    QFETCH(QString, executable);
    QFETCH(QString, programName);
    QCOMPARE(ProgramNameFromPath(executable), programName);
    WindowFixture f(nullptr, 1234, executable);
    QCOMPARE(f.window.ProgramName, programName);
    const QString caption = programName + QStringLiteral(" 专业版 by korvid.example.com");
    QCOMPARE(f.window.windowTitle(), caption);
    QCOMPARE(QGuiApplication::applicationDisplayName(), caption);
  }

  void windowLayoutAsDesigned() {
    WindowFixture f;
    TfrmMain& w = f.window;
    QCOMPARE(w.width(), 995);
    QCOMPARE(w.height() - w.menuBar()->sizeHint().height(), 575);
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);

    QStringList captions;
    for (QAction* action : w.RzToolbar1->actions()) {
      QWidget* widget = w.RzToolbar1->widgetForAction(action);
      captions << (action->isSeparator() ? QStringLiteral("|") : static_cast<QToolButton*>(widget)->text());
    }
    QCOMPARE(captions, (QStringList{"工具箱", "|", "恢复目标", "保存路径", "选择样本", "|", "恢复", "暂停", "停止",
                                    "|", "在线升级", "技术支持", "|", "帮助文档", "退出"}));
    QCOMPARE(w.ToolBoxBtn->popupMode(), QToolButton::InstantPopup);
    QCOMPARE(w.RecBtn->popupMode(), QToolButton::InstantPopup);
    QCOMPARE(w.RunBtn->popupMode(), QToolButton::MenuButtonPopup);
    const QList<QAction*> runItems = w.RunBtn->menu()->actions();
    QCOMPARE(runItems.size(), 4);
    QCOMPARE(runItems[0], w.N9);
    QCOMPARE(runItems[1], w.N10);
    QVERIFY(runItems[2]->isSeparator());
    QCOMPARE(runItems[3], w.DeepRecovery);
    QCOMPARE(w.N9->text(), QStringLiteral("全盘恢复"));
    QCOMPARE(w.N10->text(), QStringLiteral("恢复剩余空间"));
    QCOMPARE(w.DeepRecovery->text(), QStringLiteral("完整恢复(含音频)"));
    QVERIFY(w.DeepRecovery->isCheckable());
    QVERIFY(!w.DeepRecovery->isChecked());
    QCOMPARE(w.ToolBoxBtn->width(), 74);
    QCOMPARE(w.SaveBtn->size(), QSize(60, 40));
    QCOMPARE(w.ToolBoxBtn->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    QCOMPARE(w.PopForTools->actions().size(), 7);

    QStringList menus;
    for (QAction* menu : w.menuBar()->actions()) {
      menus << menu->text();
      for (QAction* item : menu->menu()->actions()) menus << (item->isSeparator() ? "-" : item->text());
    }
    QCOMPARE(menus, (QStringList{"文件", "关闭", "帮助", "帮助文档", "-", "在线升级", "关于"}));

    QCOMPARE(w.TimeLabel->text(), QStringLiteral("剩余时间:"));
    QCOMPARE(w.SegLabel->text(), QStringLiteral("发现碎片:"));
    QCOMPARE(w.Edit1->text(), QStringLiteral("...点击选择目录..."));
    QVERIFY(w.Source->text().isEmpty());
    QVERIFY(w.Source->isHidden());
    QVERIFY(w.Edit1->isHidden());
    QCOMPARE(w.gg->value(), 0);
    QVERIFY(w.ScanLog->toPlainText().startsWith(QStringLiteral("KORVID支持恢复丢失以及修复损坏的AVI文件.")));
    QCOMPARE(w.RzBitBtn1->geometry(), QRect(24, 48, 153, 49));
    QCOMPARE(w.RzBitBtn2->geometry(), QRect(208, 48, 153, 49));
    QCOMPARE(w.RzBitBtn3->geometry(), QRect(392, 48, 153, 49));
  }

  void startScanButtonOnlyHints() {
    WindowFixture f;
    f.window.RzBitBtn1->click();
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("请点击快捷方式栏中的恢复目标按钮，选择需要扫描的磁盘！")});
    QVERIFY(!f.window.Running());
  }

  void helpOpensTheHelpFileBesideTheExecutable() {
    WindowFixture f(nullptr, 1234, QStringLiteral("/opt/korvid/bin/korvid"));
    f.window.N4->trigger();
    QCOMPARE(f.shell.opened.size(), size_t{1});
    QCOMPARE(f.shell.opened[0], QUrl::fromLocalFile(QStringLiteral("/opt/korvid/bin/help.chm")));
  }

  void mdbAsksBeforeOpening_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("asks");
    QTest::addColumn<bool>("answer");
    QTest::newRow("upper, cancel") << "a.MDB" << true << false;
    QTest::newRow("mixed, ok") << "b.mDb" << true << true;
    QTest::newRow("other file") << "c.avi" << false << false;
    QTest::newRow("mdb inside the name") << "d.mdb.txt" << false << false;
  }

  void mdbAsksBeforeOpening() {
    QFETCH(QString, name);
    QFETCH(bool, asks);
    QFETCH(bool, answer);
    WindowFixture f;
    const QString path = work.filePath(name);
    TouchFile(path);
    f.boxes.answer = [&](const QString&, const QString&) { return answer; };
    f.shell.folder = work.path();
    f.window.SaveBtnClick();
    QModelIndex item;
    QTRY_VERIFY((item = f.window.ShelllistModel->index(path)).isValid());

    const bool opened = f.window.ShelllistDblClickOpen(item);
    QCOMPARE(f.boxes.shown.size(), size_t{asks ? 1u : 0u});
    if (asks) {
      QCOMPARE(f.boxes.shown[0].Kind, QStringLiteral("ask"));
      QCOMPARE(f.boxes.shown[0].Caption, QStringLiteral("重组"));
      QCOMPARE(f.boxes.shown[0].Text, QStringLiteral("是否将修复后的数据库文件导入重组?"));
    }
    const bool expectOpened = !asks || answer;
    QCOMPARE(opened, expectOpened);
    QCOMPARE(f.shell.opened.size(), size_t{expectOpened ? 1u : 0u});
    if (expectOpened) QCOMPARE(f.shell.opened[0], QUrl::fromLocalFile(path));
  }

  void folderViewEntersAndGoesUpWithoutTouchingTheOutputFolder() {
    WindowFixture f;
    const QString inner = work.filePath(QStringLiteral("inner"));
    QVERIFY(QDir().mkpath(inner));
    f.shell.folder = work.path();
    f.window.SaveBtnClick();
    QCOMPARE(f.window.Edit1->text(), work.path());
    QModelIndex item;
    QTRY_VERIFY((item = f.window.ShelllistModel->index(inner)).isValid());
    QVERIFY(f.window.ShelllistDblClickOpen(item));
    QCOMPARE(f.window.Destination->text(), QDir::toNativeSeparators(inner));
    QCOMPARE(f.window.Shelllist->rootIndex(), f.window.ShelllistModel->index(inner));
    f.window.BtnMoveLeft->click();
    QCOMPARE(f.window.Destination->text(), QDir::toNativeSeparators(work.path()));
    QCOMPARE(f.window.Edit1->text(), work.path());
    QVERIFY(f.shell.opened.empty());
  }

  void cancelledFolderDialogKeepsTheEarlierChoice() {
    WindowFixture f;
    f.shell.folder = work.path();
    f.window.SaveBtnClick();
    f.shell.folder.reset();
    f.window.SaveBtnClick();
    QCOMPARE(f.window.Edit1->text(), work.path());
    QCOMPARE(f.window.Destination->text(), QDir::toNativeSeparators(work.path()));
  }

  void sampleChoice() {
    WindowFixture f;
    const QString good = work.filePath(QStringLiteral("good.avi"));
    const QString bad = work.filePath(QStringLiteral("nomovi.avi"));
    WriteSample(good);
    WriteSample(bad, false);

    // Cancelled: nothing changes, the window is idle again.
    f.window.BtnSelectAllClick();
    QVERIFY(f.window.SampleCachePath.isEmpty());
    QVERIFY(f.window.BtnSelectAll->isEnabled());
    QVERIFY(!f.window.ElapsedTime->isActive());

    f.shell.file = good;
    f.window.BtnSelectAllClick();
    const QString cached = f.cache.path() + QStringLiteral("/Cache/good.avi.bin");
    QCOMPARE(f.window.SampleCachePath, cached);
    QCOMPARE(ReadBytes(cached), SampleHead());

    for (const QString& failing : {bad, work.filePath(QStringLiteral("missing.avi"))}) {
      f.shell.file = failing;
      f.window.BtnSelectAllClick();
      QCOMPARE(f.boxes.Texts().last(), QStringLiteral("样本无法访问!"));
      QCOMPARE(f.window.SampleCachePath, cached);
      QVERIFY(f.window.RunBtn->isEnabled());
      QCOMPARE(f.window.TimeLabel->text(), QStringLiteral("剩余时间: "));
    }
    QCOMPARE(f.boxes.shown.size(), size_t{2});
  }

  void sourceThatCannotBeOpenedIsReported() {
    WindowFixture f;
    const QString missing = work.filePath(QStringLiteral("gone.img"));
    f.window.Source->setText(missing);
    QCOMPARE(f.window.SourcePath, missing.toStdString());
    QCOMPARE(f.window.SourceSize, 0);
    QCOMPARE(f.boxes.shown.size(), size_t{1});
    QCOMPARE(f.boxes.shown[0].Kind, QStringLiteral("error"));
    QCOMPARE(f.boxes.shown[0].Text, QStringLiteral("Cannot open file \"%1\". No such file or directory").arg(missing));
  }

  void sourceMenuStartsWithTheImageEntry() {
    WindowFixture f;
    f.window.RecBtnDropDown();
    const QList<QAction*> entries = f.window.pop->actions();
    QVERIFY(entries.size() >= 2);
    QCOMPARE(entries[0]->objectName(), QStringLiteral("Openimage"));
    QCOMPARE(entries[0]->text(), QStringLiteral("打开磁盘镜像"));
    // Rebuilt from scratch each time.
    f.window.RecBtnDropDown();
    QCOMPARE(f.window.pop->actions().size(), entries.size());
    QVERIFY(f.window.pop->actions().last()->isSeparator() ||
            f.window.pop->actions().last()->objectName().startsWith(QStringLiteral("PhysicalDrive")));
  }
};

}  // namespace
}  // namespace korvid::app::testing

QTEST_MAIN(korvid::app::testing::WindowCommandsTest)
#include "window_commands_test.moc"
