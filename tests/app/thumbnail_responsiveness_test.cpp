// The window stays responsive while the icon view's pictures are made: with 500 files whose
// pictures take 10 to 30 ms each, the GUI thread's longest stretch without running its event loop
// stays under 50 ms until every file shows its picture.
#include <QDir>
#include <QElapsedTimer>
#include <QListView>
#include <QSet>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "picture_window.h"

namespace korvid::app::testing {
namespace {

class ThumbnailResponsivenessTest : public QObject {
  Q_OBJECT

 private slots:
  void theGuiThreadNeverBlocksLongWhile500PicturesAreMade() {
    constexpr int Files = 500;
    QTemporaryDir work;
    for (int i = 0; i < Files; ++i) {
      WriteColourFile(work.filePath(QStringLiteral("%1.AVI").arg(i, 3, 10, QLatin1Char('0'))),
                      QColor::fromHsv(i % 360, 200, 200).name());
    }
    auto calls = std::make_shared<std::atomic<int>>(0);
    const PictureMaker colour = ColourMaker(calls);
    // A decode's time: 10 to 30 ms, different for each file.
    PictureMaker slow = [colour](const std::filesystem::path& file, QSize bound) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10 + std::hash<std::string>()(file.string()) % 21));
      return colour(file, bound);
    };
    PictureWindow fixture(slow);
    TfrmMain& window = fixture.window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    fixture.ShowFolder(work.path(), Files);

    QSet<int> arrived;
    QAbstractItemModel* icons = window.ShelllistIcons->model();
    connect(icons, &QAbstractItemModel::dataChanged, this,
            [&](const QModelIndex& top, const QModelIndex& bottom, const QList<int>& roles) {
              if (!roles.contains(Qt::DecorationRole)) return;
              for (int row = top.row(); row <= bottom.row(); ++row) arrived.insert(row);
            });

    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(5);
    connect(&tick, &QTimer::timeout, this, [&] {
      const qint64 now = clock.elapsed();
      longest = std::max(longest, now - last);
      last = now;
    });
    clock.start();
    tick.start();
    // The switch runs from the event loop, so that the time it takes counts as a gap.
    QTimer::singleShot(0, window.BtnViewMode, [&] { QTest::mouseClick(window.BtnViewMode, Qt::LeftButton); });
    QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), Files, 60000);
    tick.stop();
    longest = std::max(longest, clock.elapsed() - last);
    qInfo("%d pictures in %lld ms; the longest gap between event-loop ticks: %lld ms", Files, clock.elapsed(), longest);

    QCOMPARE(calls->load(), Files);
    const QModelIndex root = window.ShelllistIcons->rootIndex();
    for (int row = 0; row < Files; ++row) {
      const QModelIndex item = icons->index(row, 0, root);
      const QString name = item.data().toString();
      const QImage shown = item.data(Qt::DecorationRole).value<QPixmap>().toImage();
      QCOMPARE(MiddleOf(shown).rgb(), QColor::fromHsv(name.left(3).toInt() % 360, 200, 200).rgb());
    }
    QVERIFY2(longest < 50, qPrintable(QStringLiteral("%1 ms").arg(longest)));
  }
};

}  // namespace
}  // namespace korvid::app::testing

QTEST_MAIN(korvid::app::testing::ThumbnailResponsivenessTest)
#include "thumbnail_responsiveness_test.moc"
