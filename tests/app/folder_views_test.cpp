// The output folder as thumbnails and as details, and the preview of the current file beside them.
#include <QDir>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QSignalSpy>
#include <QSplitter>
#include <QStackedWidget>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include "app/folder_index.h"
#include "app/preview_pane.h"
#include "app/thumbnail_looks.h"
#include "picture_window.h"

namespace korvid::app::testing {
namespace {

using Look = ThumbnailStore::Look;

class FolderViewsTest : public QObject {
  Q_OBJECT

  QTemporaryDir work;
  QString folder;

  // The detail view's row of `name`.
  static QModelIndex DetailItem(TfrmMain& window, const QString& name) {
    const QAbstractItemModel* model = window.Shelllist->model();
    const QModelIndex root = window.Shelllist->rootIndex();
    for (int row = 0; row < model->rowCount(root); ++row) {
      const QModelIndex item = model->index(row, 0, root);
      if (item.data().toString() == name) return item;
    }
    return {};
  }

  static QImage PaneImage(const PreviewPane& pane) { return pane.Picture->pixmap().toImage(); }

 private slots:
  void initTestCase() {
    folder = work.filePath(QStringLiteral("recovered"));
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/older")));
    WriteColourFile(folder + QStringLiteral("/1.AVI"), QStringLiteral("#ff0000"));
    WriteColourFile(folder + QStringLiteral("/2.AVI"), QStringLiteral("#0000ff"));
    WriteColourFile(folder + QStringLiteral("/3.AVI"), QStringLiteral("broken"));
    WriteColourFile(folder + QStringLiteral("/older/4.AVI"), QStringLiteral("#00ff00"));
  }

  void theButtonSwitchesBetweenDetailsAndThumbnails() {
    PictureWindow fixture(ColourMaker());
    TfrmMain& window = fixture.window;
    window.show();
    fixture.ShowFolder(folder, 4);
    QCOMPARE(window.FolderViews->currentWidget(), window.Shelllist);
    QCOMPARE(window.BtnViewMode->text(), QStringLiteral("缩略图"));
    QCOMPARE(window.BtnViewMode->parentWidget(), window.RzToolbar2);
    QCOMPARE(window.Splitter3->widget(1), window.Preview);

    QTest::mouseClick(window.BtnViewMode, Qt::LeftButton);
    QCOMPARE(window.FolderViews->currentWidget(), window.ShelllistIcons);
    QCOMPARE(window.ShelllistIcons->viewMode(), QListView::IconMode);
    QCOMPARE(window.BtnViewMode->text(), QStringLiteral("详细信息"));
    QTest::mouseClick(window.BtnViewMode, Qt::LeftButton);
    QCOMPARE(window.FolderViews->currentWidget(), window.Shelllist);
    QCOMPARE(window.BtnViewMode->text(), QStringLiteral("缩略图"));
  }

  // Files show their pictures, or the placeholder; folders keep the folder model's icon.
  void theIconViewShowsEachFileAsItsPicture() {
    PictureWindow fixture(ColourMaker());
    TfrmMain& window = fixture.window;
    window.show();
    fixture.ShowFolder(folder, 4);
    QTest::mouseClick(window.BtnViewMode, Qt::LeftButton);
    const auto decoration = [&](const QString& name) { return fixture.IconItem(name).data(Qt::DecorationRole); };
    QTRY_COMPARE(MiddleOf(decoration(QStringLiteral("1.AVI")).value<QPixmap>().toImage()), QColor(Qt::red));
    QTRY_COMPARE(MiddleOf(decoration(QStringLiteral("2.AVI")).value<QPixmap>().toImage()), QColor(Qt::blue));
    QTRY_COMPARE(decoration(QStringLiteral("3.AVI")).value<QPixmap>().toImage(), PlaceholderPicture(QSize(128, 96)));
    const QVariant older = decoration(QStringLiteral("older"));
    QCOMPARE(older.typeId(), QMetaType::QIcon);
    const QModelIndex detailOlder = DetailItem(window, QStringLiteral("older"));
    QCOMPARE(older.value<QIcon>().cacheKey(), detailOlder.data(Qt::DecorationRole).value<QIcon>().cacheKey());
  }

  void aFileChosenInEitherViewShowsInThePreview() {
    PictureWindow fixture(ColourMaker());
    TfrmMain& window = fixture.window;
    window.show();
    fixture.ShowFolder(folder, 4);
    PreviewPane& pane = *window.Preview;
    QCOMPARE(pane.Shown(), std::nullopt);

    window.Shelllist->setCurrentIndex(DetailItem(window, QStringLiteral("2.AVI")));
    QCOMPARE(pane.FileName->text(), QStringLiteral("2.AVI"));
    QTRY_COMPARE(pane.Shown(), std::optional(Look::Picture));
    QCOMPARE(MiddleOf(PaneImage(pane)), QColor(Qt::blue));
    // Scaled to the pane, not beyond it.
    QVERIFY(PaneImage(pane).width() <= pane.Picture->width() && PaneImage(pane).height() <= pane.Picture->height());
    QVERIFY(PaneImage(pane).width() == pane.Picture->width() || PaneImage(pane).height() == pane.Picture->height());

    window.Shelllist->setCurrentIndex(DetailItem(window, QStringLiteral("3.AVI")));
    QTRY_COMPARE(pane.Shown(), std::optional(Look::Placeholder));
    QCOMPARE(pane.FileName->text(), QStringLiteral("3.AVI"));
    QVERIFY(!pane.Picture->pixmap().isNull());

    window.Shelllist->setCurrentIndex(DetailItem(window, QStringLiteral("older")));
    QCOMPARE(pane.Shown(), std::nullopt);
    QVERIFY(pane.Picture->pixmap().isNull());
    QCOMPARE(pane.FileName->text(), QString());

    // The icon view's current item, once it is the view shown.
    QTest::mouseClick(window.BtnViewMode, Qt::LeftButton);
    window.ShelllistIcons->setCurrentIndex(fixture.IconItem(QStringLiteral("1.AVI")));
    QCOMPARE(pane.FileName->text(), QStringLiteral("1.AVI"));
    QTRY_COMPARE(pane.Shown(), std::optional(Look::Picture));
    QCOMPARE(MiddleOf(PaneImage(pane)), QColor(Qt::red));
  }

  // A double click opens a folder in both views and a file with the desktop, as in the detail view.
  void aDoubleClickInTheIconViewOpensAsInTheDetailView() {
    PictureWindow fixture(ColourMaker());
    TfrmMain& window = fixture.window;
    window.show();
    fixture.ShowFolder(folder, 4);
    QTest::mouseClick(window.BtnViewMode, Qt::LeftButton);

    const QModelIndex file = fixture.IconItem(QStringLiteral("2.AVI"));
    emit window.ShelllistIcons->doubleClicked(file);
    QCOMPARE(fixture.shell.opened, std::vector<QUrl>{QUrl::fromLocalFile(folder + QStringLiteral("/2.AVI"))});

    emit window.ShelllistIcons->doubleClicked(fixture.IconItem(QStringLiteral("older")));
    const QString older = folder + QStringLiteral("/older");
    QTRY_COMPARE(window.Destination->text(), QDir::toNativeSeparators(older));
    QCOMPARE(window.ShelllistModel->filePath(ToFolderIndex(window.Shelllist->rootIndex())), older);
    QCOMPARE(window.ShelllistModel->filePath(ToFolderIndex(window.ShelllistIcons->rootIndex())), older);
    QTRY_VERIFY(fixture.IconItem(QStringLiteral("4.AVI")).isValid());
    QTRY_COMPARE(MiddleOf(fixture.IconItem(QStringLiteral("4.AVI")).data(Qt::DecorationRole).value<QPixmap>().toImage()),
                 QColor(Qt::green));

    // Up again, with the toolbar's button.
    window.BtnMoveLeftClick();
    QCOMPARE(window.ShelllistModel->filePath(ToFolderIndex(window.ShelllistIcons->rootIndex())), folder);
    QTRY_VERIFY(fixture.IconItem(QStringLiteral("1.AVI")).isValid());
  }

  // The window goes with slow pictures still queued for the icon view and the preview.
  void theWindowClosesWithPicturesQueued() {
    auto calls = std::make_shared<std::atomic<int>>(0);
    const QString many = work.filePath(QStringLiteral("many"));
    QVERIFY(QDir().mkpath(many));
    for (int i = 0; i < 60; ++i) WriteColourFile(QStringLiteral("%1/%2.AVI").arg(many).arg(i), QStringLiteral("#a0a0a0"));
    {
      PictureWindow fixture(ColourMaker(calls, std::chrono::milliseconds(40)));
      fixture.window.show();
      fixture.ShowFolder(many, 60);
      QTest::mouseClick(fixture.window.BtnViewMode, Qt::LeftButton);
      fixture.window.ShelllistIcons->setCurrentIndex(fixture.IconItem(QStringLiteral("7.AVI")));
      QTRY_VERIFY(calls->load() >= 1);
      fixture.window.close();
    }
    QTest::qWait(300);
    QVERIFY2(calls->load() < 30, qPrintable(QString::number(calls->load())));
  }
};

}  // namespace
}  // namespace korvid::app::testing

QTEST_MAIN(korvid::app::testing::FolderViewsTest)
#include "folder_views_test.moc"
