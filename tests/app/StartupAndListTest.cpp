#include "DelegateTestSupport.h"

#include "ui/EmptyPlaceholderTableView.h"

#include <QTimer>

namespace cleftone::test {
namespace {

class StartupAndListTest : public DelegateTest {
protected:
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
    QComboBox* popUp = delegate->writeMethodPopUp();
    ASSERT_EQ(popUp->count(), 3);
    EXPECT_EQ(popUp->itemText(0), QString::fromLatin1(kOverwriteExistingFile));
    EXPECT_EQ(popUp->itemData(1, Qt::AccessibleDescriptionRole).toString(), "separator");
    EXPECT_EQ(popUp->currentIndex(), 0);
    EXPECT_FALSE(delegate->stripButton()->isEnabled() || delegate->clearButton()->isEnabled());
    EXPECT_EQ(header(), "Files To Strip") << "the interface's title until the first refresh";
    EXPECT_NE(qobject_cast<EmptyPlaceholderTableView*>(delegate->tableView()), nullptr);

    // Settings… goes above the separator that Check For Updates has pushed down.
    const QList<QAction*> items = delegate->cleftoneMenu()->actions();
    ASSERT_EQ(items.size(), 5);
    EXPECT_EQ(items[1]->text(), "Check For Updates");
    EXPECT_EQ(items[2]->text(), QString::fromUtf8("Settings\u2026"));
    EXPECT_EQ(items[2]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_TRUE(items[3]->isSeparator());
}

TEST_F(StartupAndListTest, ListShowsNamesDeleteTakesTheSelectionAndClearEverything)
{
    makeDelegate();
    const QStringList files = {touch("a/song.mp3"), touch("b/song.mp3"), touch("c/other.flac")};
    ASSERT_TRUE(walk(files));
    const QAbstractItemModel* model = delegate->tableView()->model();
    EXPECT_EQ(model->index(1, 0).data().toString(), "song.mp3");
    EXPECT_EQ(model->index(1, 0).data(Qt::ToolTipRole).toString(), files[1]);

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
    makeHeldJobsDelegate();
    const QString first = touch("first.mp3");
    QObject::connect(delegate.get(), &CleftoneAppDelegate::walkDidFinish, [this] {
        // From here only the refresh timer's last tick can put the count back.
        if (walks == 1)
            delegate->setTableHeaderText("stale");
    });
    delegate->applicationOpenFiles({first, touch("gate.m4a")});
    ASSERT_TRUE(waitFor([&] { return listed().contains(first); }));
    selectRows({0});
    delegate->removeSelectedFiles();
    delegate->clearButtonPressed();
    EXPECT_EQ(listed(), QStringList{first});
    gate.open = true;
    ASSERT_TRUE(waitFor([&] { return walks == 1; }));
    EXPECT_TRUE(waitFor([&] { return header() == "Files To Strip: 2"; }, 5000));
    auto* timer = delegate->findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->isActive());

    // During a run; the run's own removals arrive through the event loop, later.
    selectRows({0});
    delegate->stripButton()->click();
    ASSERT_TRUE(delegate->operationsRunning());
    delegate->removeSelectedFiles();
    EXPECT_EQ(listed().size(), 2);
    ASSERT_TRUE(waitFor([&] { return runs == 1; }));
    EXPECT_EQ(delegate->successfulOperations(), 2);
}

} // namespace
} // namespace cleftone::test
