// The store of file pictures: what a lookup answers before and after a picture is made, files that
// change, files without a picture, and a store that goes while pictures are being made.
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "app/thumbnail_looks.h"
#include "app/thumbnails.h"
#include "picture_makers.h"

namespace korvid::app::testing {
namespace {

using Look = ThumbnailStore::Look;
constexpr QSize Bound(128, 96);

class ThumbnailsTest : public QObject {
  Q_OBJECT

  QTemporaryDir folder;

  QString File(const QString& name, const QString& content) {
    const QString path = folder.filePath(name);
    WriteColourFile(path, content);
    return path;
  }

  // Looks `path` up until its picture has come, at most a few seconds.
  static ThumbnailStore::Thumbnail Made(ThumbnailStore& store, const QString& path) {
    ThumbnailStore::Thumbnail shown = store.Lookup(QFileInfo(path));
    for (int i = 0; shown.Kind == Look::Loading && i < 100; ++i) {
      QSignalSpy ready(&store, &ThumbnailStore::Ready);
      ready.wait(50);
      shown = store.Lookup(QFileInfo(path));
    }
    return shown;
  }

 private slots:
  void aFileThatDecodesShowsItsPictureAndOneThatDoesNotThePlaceholder() {
    ThumbnailStore store(ColourMaker(), Bound, 100);
    const QString red = File(QStringLiteral("red.avi"), QStringLiteral("#ff0000"));
    const QString broken = File(QStringLiteral("broken.avi"), QStringLiteral("no picture"));

    QSignalSpy ready(&store, &ThumbnailStore::Ready);
    const ThumbnailStore::Thumbnail first = store.Lookup(QFileInfo(red));
    QCOMPARE(first.Kind, Look::Loading);
    QCOMPARE(first.Pixmap.toImage(), LoadingPicture(Bound));
    QTRY_COMPARE(ready.count(), 1);
    QCOMPARE(ready.first().first().toString(), QFileInfo(red).absoluteFilePath());

    const ThumbnailStore::Thumbnail picture = store.Lookup(QFileInfo(red));
    QCOMPARE(picture.Kind, Look::Picture);
    QCOMPARE(picture.Pixmap.size(), QSize(128, 96));
    QCOMPARE(MiddleOf(picture.Pixmap.toImage()), QColor(Qt::red));

    const ThumbnailStore::Thumbnail placeholder = Made(store, broken);
    QCOMPARE(placeholder.Kind, Look::Placeholder);
    QCOMPARE(placeholder.Pixmap.toImage(), PlaceholderPicture(Bound));
  }

  void aMakerThatThrowsOrAMissingMakerGivesThePlaceholder() {
    ThumbnailStore throwing([](const std::filesystem::path&, QSize) -> QImage { throw std::runtime_error("bad file"); },
                            Bound, 10);
    const QString file = File(QStringLiteral("any.avi"), QStringLiteral("#00ff00"));
    QCOMPARE(Made(throwing, file).Kind, Look::Placeholder);
    ThumbnailStore none(nullptr, Bound, 10);
    QCOMPARE(Made(none, file).Kind, Look::Placeholder);
  }

  void aPictureIsMadeOnceAndAgainWhenTheFileChanges() {
    auto calls = std::make_shared<std::atomic<int>>(0);
    ThumbnailStore store(ColourMaker(calls), Bound, 100);
    const QString path = File(QStringLiteral("ch01.avi"), QStringLiteral("#0000ff"));
    QCOMPARE(MiddleOf(Made(store, path).Pixmap.toImage()), QColor(Qt::blue));
    QCOMPARE(store.Lookup(QFileInfo(path)).Kind, Look::Picture);
    QCOMPARE(calls->load(), 1);

    // The same size, a later time: the recording was written again.
    WriteColourFile(path, QStringLiteral("#00ff00"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
    file.close();
    QCOMPARE(store.Lookup(QFileInfo(path)).Kind, Look::Loading);
    QCOMPARE(MiddleOf(Made(store, path).Pixmap.toImage()), QColor(Qt::green));
    QCOMPARE(calls->load(), 2);

    // A new size, whatever the time.
    WriteColourFile(path, QStringLiteral("#ff0000 and more"));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
    file.close();
    QCOMPARE(MiddleOf(Made(store, path).Pixmap.toImage()), QColor(Qt::red));
    QCOMPARE(calls->load(), 3);
  }

  void manyLookupsOfAFileBeingMadeMakeItOnce() {
    auto calls = std::make_shared<std::atomic<int>>(0);
    ThumbnailStore store(ColourMaker(calls, std::chrono::milliseconds(50)), Bound, 100);
    const QString path = File(QStringLiteral("slow.avi"), QStringLiteral("#ffff00"));
    for (int i = 0; i < 20; ++i) QCOMPARE(store.Lookup(QFileInfo(path)).Kind, Look::Loading);
    QCOMPARE(Made(store, path).Kind, Look::Picture);
    QCOMPARE(calls->load(), 1);
  }

  // The store goes with 40 slow pictures asked for: the queued ones are not made, the ones being
  // made end without a store to go to.
  void aStoreThatGoesWhilePicturesAreQueued() {
    auto calls = std::make_shared<std::atomic<int>>(0);
    {
      ThumbnailStore store(ColourMaker(calls, std::chrono::milliseconds(30)), Bound, 100);
      for (int i = 0; i < 40; ++i) {
        store.Lookup(QFileInfo(File(QStringLiteral("%1.avi").arg(i), QStringLiteral("#808080"))));
      }
      QTRY_VERIFY(calls->load() >= 1);
    }
    QTest::qWait(400);
    QVERIFY2(calls->load() < 10, qPrintable(QString::number(calls->load())));
    // A new store still gets its pictures from the same workers.
    ThumbnailStore next(ColourMaker(), Bound, 10);
    QCOMPARE(Made(next, folder.filePath(QStringLiteral("0.avi"))).Kind, Look::Picture);
  }

  void thePlaceholderIsAFilmFrameWithText() {
    const QImage placeholder = PlaceholderPicture(Bound);
    QCOMPARE(placeholder.size(), Bound);
    QVERIFY(placeholder != LoadingPicture(Bound));
    // The text, light on the frame's grey screen, across the middle rows; a plain frame has none.
    const auto lightInTheMiddle = [](const QImage& picture) {
      int light = 0;
      for (int y = picture.height() / 3; y < picture.height() * 2 / 3; ++y) {
        for (int x = 0; x < picture.width(); ++x) light += picture.pixelColor(x, y).lightness() > 200;
      }
      return light;
    };
    QVERIFY(lightInTheMiddle(placeholder) > 50);
    QCOMPARE(lightInTheMiddle(LoadingPicture(Bound)), 0);
    QCOMPARE(PlaceholderPicture(QSize(0, 0)).size(), QSize(16, 16));
  }
};

}  // namespace
}  // namespace korvid::app::testing

QTEST_MAIN(korvid::app::testing::ThumbnailsTest)
#include "thumbnails_test.moc"
