#include "DelegateTestSupport.h"

#include "platform/BuildConfig.h"
#include "platform/FolderBookmark.h"
#include "platform/PreferenceKeys.h"
#include "ui/EmptyPlaceholderTableView.h"

#include <QComboBox>
#include <QMainWindow>
#include <QMenu>
#include <QTableView>
#include <QThread>
#include <QTimer>

#include <atomic>

namespace cleftone::test {
namespace {

const QString kDestination = QString::fromLatin1(kDestinationDirectoryKey);
const QString kBookmark = QString::fromLatin1(kDestinationFolderBookmarkKey);
const QString kOverwrite = QString::fromLatin1(kOverwriteExistingFile);

class StartupAndListTest : public DelegateTest {
protected:
    QString header() const
    {
        return delegate->operationsController()->headerData(0, Qt::Horizontal).toString();
    }
    QStringList listed() { return delegate->operationsController()->arrangedObjects(); }
    void selectRows(std::initializer_list<int> rows)
    {
        QItemSelectionModel* selection = delegate->tableView()->selectionModel();
        selection->clearSelection();
        for (int row : rows)
            selection->select(selection->model()->index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
};

TEST_F(StartupAndListTest, FirstLaunchShowsAnIdleEmptyWindow)
{
    makeDelegate();
    EXPECT_EQ(preferences->value(kDestination).toString(), kOverwrite);
    for (const char* key : {kSuppressVideoFileWarningKey, kVideoConfirmAlertHasBeenShownKey})
        EXPECT_EQ(preferences->value(QString::fromLatin1(key)), QVariant(false)) << key;

    QComboBox* popUp = delegate->writeMethodPopUp();
    ASSERT_EQ(popUp->count(), 3);
    EXPECT_EQ(popUp->itemText(0), kOverwrite);
    EXPECT_EQ(popUp->itemData(1, Qt::AccessibleDescriptionRole).toString(), "separator");
    EXPECT_EQ(popUp->currentIndex(), 0);
    EXPECT_TRUE(popUp->isEnabled());
    EXPECT_FALSE(delegate->stripButton()->isEnabled() || delegate->clearButton()->isEnabled());
    EXPECT_EQ(header(), "Files To Strip") << "the interface's title until the first refresh";
    EXPECT_EQ(delegate->operationQueue().name(),
              QString::fromLatin1(bundleIdentifier()) + ".queue");
    EXPECT_EQ(delegate->operationQueue().maxConcurrentOperationCount(), 1);

    // The File menu was Add Files…, separator, Quit; Settings… goes above the separator that
    // Check For Updates has pushed down.
    const QList<QAction*> items = delegate->cleftoneMenu()->actions();
    ASSERT_EQ(items.size(), 5);
    EXPECT_EQ(items[1]->text(), "Check For Updates");
    EXPECT_EQ(items[2]->text(), QString::fromUtf8("Settings\u2026"));
    EXPECT_EQ(items[2]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_TRUE(items[3]->isSeparator());

    // The empty table draws its invitation across its middle.
    QWidget* viewport = delegate->tableView()->viewport();
    ASSERT_NE(qobject_cast<EmptyPlaceholderTableView*>(delegate->tableView()), nullptr);
    delegate->window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(delegate->window(), 5000));
    const QImage image = viewport->grab().toImage().convertToFormat(QImage::Format_RGB32);
    int ink = 0;
    for (int x = 0; x < image.width(); ++x)
        ink += image.pixel(x, image.height() / 2) != image.pixel(0, image.height() - 1);
    EXPECT_GT(ink, 0);
}

TEST_F(StartupAndListTest, StoredDestinationFolderIsRestoredOrForgotten)
{
    const QString out = dir.filePath("Out");
    ASSERT_TRUE(QDir().mkpath(out));
    const QByteArray bookmark = FolderBookmark::create(out).value_or(QByteArray());
    preferences->setValue(kDestination, out);
    preferences->setValue(kBookmark, bookmark);

    makeDelegate();
    ASSERT_EQ(delegate->writeMethodPopUp()->count(), 4);
    EXPECT_EQ(delegate->writeMethodPopUp()->itemText(3), "Out");
    EXPECT_TRUE(delegate->writeMethodPopUp()->itemIcon(3).availableSizes().contains(QSize(16, 16)));
    EXPECT_EQ(delegate->writeMethodPopUp()->currentIndex(), 3);

    // Sandboxed: the path is not looked at before Strip is pressed.
    delegate.reset();
    ASSERT_TRUE(QDir(out).removeRecursively());
    makeDelegate([](AppDelegateEnvironment& environment) { environment.sandboxed = true; });
    ASSERT_EQ(delegate->writeMethodPopUp()->count(), 4);
    EXPECT_EQ(delegate->writeMethodPopUp()->itemText(3), "Out");
    EXPECT_EQ(delegate->writeMethodPopUp()->currentIndex(), 3);
    EXPECT_EQ(preferences->dataForKey(kBookmark), bookmark);

    // Without a sandbox the vanished folder is forgotten, silently.
    delegate.reset();
    makeDelegate();
    EXPECT_EQ(delegate->writeMethodPopUp()->count(), 3);
    EXPECT_EQ(delegate->writeMethodPopUp()->currentIndex(), 0);
    EXPECT_EQ(preferences->stringForKey(kDestination), kOverwrite);
    EXPECT_FALSE(preferences->value(kBookmark).isValid());
    EXPECT_TRUE(tools.alerts.isEmpty());
}

TEST_F(StartupAndListTest, ListShowsNamesCountsAndClearsEverything)
{
    makeDelegate();
    const QStringList files = {touch("a/song.mp3"), touch("b/song.mp3"), touch("c/other.flac")};
    ASSERT_TRUE(walk(files));
    ASSERT_EQ(listed(), files);
    EXPECT_EQ(header(), "Files To Strip: 3");
    EXPECT_TRUE(delegate->stripButton()->isEnabled() && delegate->clearButton()->isEnabled());
    const QAbstractItemModel* model = delegate->tableView()->model();
    for (int row : {0, 1}) {
        EXPECT_EQ(model->index(row, 0).data().toString(), "song.mp3");
        EXPECT_EQ(model->index(row, 0).data(Qt::ToolTipRole).toString(), files[row]);
    }

    // Delete takes the selected rows only; Clear takes every row, whatever is selected.
    selectRows({0, 2});
    delegate->removeSelectedAction()->trigger();
    EXPECT_EQ(listed(), QStringList{files[1]});
    EXPECT_EQ(header(), "Files To Strip: 1");
    ASSERT_TRUE(walk(files));
    selectRows({1});
    delegate->clearButton()->click();
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_EQ(header(), "Files To Strip: 0");
    EXPECT_FALSE(delegate->stripButton()->isEnabled() || delegate->clearButton()->isEnabled());
}

TEST_F(StartupAndListTest, ListHoldsStillDuringAWalkAndARun)
{
    // The video test of held.m4a keeps the walk going until the test lets it end.
    std::atomic<bool> release{false};
    makeDelegate([&release](AppDelegateEnvironment& environment) {
        environment.hasVideoTrack = [&release](const QString&) {
            for (QDeadlineTimer deadline(15000); !release && !deadline.hasExpired();)
                QThread::msleep(5);
            return false;
        };
    });
    const QString first = touch("first.mp3");
    bool finished = false;
    const auto connection =
        QObject::connect(delegate.get(), &CleftoneAppDelegate::walkDidFinish, [&] {
            finished = true;
            // From here only the refresh timer's last tick can put the count back.
            delegate->setTableHeaderText("stale");
        });
    delegate->applicationOpenFiles({first, touch("held.m4a")});
    const bool admitted = waitFor([&] { return listed().contains(first); });
    if (admitted) {
        selectRows({0});
        delegate->removeSelectedFiles();
        delegate->clearButtonPressed();
        EXPECT_EQ(listed(), QStringList{first});
    }
    release = true;
    ASSERT_TRUE(admitted);
    ASSERT_TRUE(waitFor([&] { return finished; }));
    QObject::disconnect(connection);
    EXPECT_TRUE(waitFor([&] { return header() == "Files To Strip: 2"; }, 5000));
    auto* timer = delegate->findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->isActive());

    // During a run; the run's own removals arrive through the event loop, later.
    delegate->clearButtonPressed();
    const QString copy = dir.filePath("tags.flac");
    ASSERT_TRUE(QFile::copy(QStringLiteral(CLEFTONE_TEST_DATA_DIR "/audio/flac_tags.flac"), copy));
    ASSERT_TRUE(walk({copy}));
    selectRows({0});
    bool ran = false;
    QObject::connect(delegate.get(), &CleftoneAppDelegate::runDidFinish, [&] { ran = true; });
    delegate->stripButton()->click();
    ASSERT_TRUE(delegate->operationsRunning());
    delegate->removeSelectedFiles();
    EXPECT_EQ(listed(), QStringList{copy});
    ASSERT_TRUE(waitFor([&] { return ran; }, 30000));
    EXPECT_EQ(delegate->successfulOperations(), 1);
}

} // namespace
} // namespace cleftone::test
