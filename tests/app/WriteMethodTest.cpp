#include "DelegateTestSupport.h"

namespace cleftone::test {
namespace {

const QString kDestination = QString::fromLatin1(kDestinationDirectoryKey);
const QString kBookmark = QString::fromLatin1(kDestinationFolderBookmarkKey);
const QString kOverwrite = QString::fromLatin1(kOverwriteExistingFile);

class WriteMethodTest : public DelegateTest {
protected:
    QComboBox* popUp() const { return delegate->writeMethodPopUp(); }
    /// Picks an item the way a click in the pop-up's list does.
    void choose(int index)
    {
        popUp()->setCurrentIndex(index);
        emit popUp()->activated(index);
    }
    QString folder(const QString& name)
    {
        EXPECT_TRUE(QDir().mkpath(dir.filePath(name)));
        return dir.filePath(name);
    }
    /// The stored destination and the canonical folder its bookmark leads to, if any.
    QStringList stored() const
    {
        const auto resolved = FolderBookmark::resolve(preferences->dataForKey(kBookmark));
        return {preferences->stringForKey(kDestination), resolved ? resolved->path : QString()};
    }
    static QStringList writingTo(const QString& path)
    {
        return {path, QFileInfo(path).canonicalFilePath()};
    }
    /// The pop-up shows `title` as its selected fourth item, and nothing beyond it.
    void expectFolderItemSelected(const QString& title)
    {
        ASSERT_EQ(popUp()->count(), 4);
        EXPECT_EQ(popUp()->itemText(3), title);
        EXPECT_TRUE(popUp()->itemIcon(3).availableSizes().contains(QSize(16, 16)));
        EXPECT_EQ(popUp()->currentIndex(), 3);
    }
    void expectOverwrite()
    {
        EXPECT_EQ(popUp()->currentIndex(), 0);
        EXPECT_EQ(preferences->stringForKey(kDestination), kOverwrite);
        EXPECT_FALSE(preferences->value(kBookmark).isValid());
    }
};

TEST_F(WriteMethodTest, StoredDestinationFolderIsRestoredOrForgotten)
{
    const QString out = folder("Out");
    const QByteArray bookmark = FolderBookmark::create(out).value_or(QByteArray());
    preferences->setValue(kDestination, out);
    preferences->setValue(kBookmark, bookmark);
    makeDelegate();
    expectFolderItemSelected("Out");

    // Sandboxed: the path is not looked at before Strip is pressed.
    ASSERT_TRUE(QDir(out).removeRecursively());
    makeDelegate([](AppDelegateEnvironment& environment) { environment.sandboxed = true; });
    ASSERT_EQ(popUp()->count(), 4);
    EXPECT_EQ(popUp()->currentIndex(), 3);
    EXPECT_EQ(preferences->dataForKey(kBookmark), bookmark);

    // Without a sandbox the vanished folder is forgotten, silently.
    makeDelegate();
    EXPECT_EQ(popUp()->count(), 3);
    expectOverwrite();
    EXPECT_TRUE(tools.alerts.isEmpty());
}

TEST_F(WriteMethodTest, ChoosingCancellingAndFailingFolders)
{
    makeDelegate();
    const QString out = folder("Out");
    const QString second = folder("Second");

    // From the overwrite item, the Down key skips the separator and opens the panel.
    tools.folderPanelAnswers = {out, second};
    QTest::keyClick(popUp(), Qt::Key_Down);
    ASSERT_EQ(tools.folderPanels.size(), 1);
    EXPECT_TRUE(tools.folderPanels[0].message.isEmpty() && tools.folderPanels[0].prompt.isEmpty());
    expectFolderItemSelected("Out");
    EXPECT_EQ(stored(), writingTo(out));
    const QByteArray bookmark = preferences->dataForKey(kBookmark);

    // Overwriting keeps the folder for later; picking its item again (also with its bookmark
    // lost) means writing there, with a bookmark.
    choose(0);
    EXPECT_EQ(preferences->stringForKey(kDestination), kOverwrite);
    EXPECT_EQ(preferences->dataForKey(kBookmark), bookmark);
    EXPECT_EQ(popUp()->count(), 4);
    choose(3);
    EXPECT_EQ(preferences->stringForKey(kDestination), out);
    preferences->removeValue(kBookmark);
    choose(3);
    EXPECT_EQ(stored(), writingTo(out));
    EXPECT_EQ(tools.folderPanels.size(), 1);

    choose(2);
    expectFolderItemSelected("Second");
    EXPECT_EQ(stored(), writingTo(second));

    // Cancelling gives up the folder in use; its item stays, unselected.
    choose(2);
    EXPECT_EQ(tools.folderPanels.size(), 3);
    expectOverwrite();
    EXPECT_EQ(popUp()->itemText(3), "Second");

    // A choice that cannot be bookmarked is refused the same way, after saying why.
    tools.folderPanelAnswers = {out, touch("notes.txt")};
    choose(2);
    choose(2);
    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts[0].spec.messageText, "Couldn't save folder access");
    EXPECT_EQ(tools.alerts[0].spec.informativeText, "The item is not a folder.");
    EXPECT_EQ(tools.alerts[0].spec.buttonTitles, QStringList{"OK"});
    expectOverwrite();
}

TEST_F(WriteMethodTest, SandboxedAccessCheck)
{
    makeDelegate([](AppDelegateEnvironment& environment) { environment.sandboxed = true; });
    const QString out = folder("Out");
    tools.folderPanelAnswers = {out};
    choose(2);
    const QByteArray original = preferences->dataForKey(kBookmark);
    EXPECT_TRUE(delegate->ensureSandboxAccessForDestinationFolder(out));
    EXPECT_EQ(preferences->dataForKey(kBookmark), original);

    // Another folder at the same path (the old one kept, so that it cannot reuse the inode): the
    // bookmark is renewed without asking.
    ASSERT_TRUE(QDir(dir.path()).rename("Out", "Out.old"));
    folder("Out");
    EXPECT_TRUE(delegate->ensureSandboxAccessForDestinationFolder(out));
    const QByteArray renewed = preferences->dataForKey(kBookmark);
    EXPECT_NE(renewed, original);
    EXPECT_FALSE(FolderBookmark::resolve(renewed).value().isStale);
    EXPECT_EQ(stored(), writingTo(out));
    EXPECT_EQ(tools.folderPanels.size(), 1);

    // The folder is gone: Strip asks, and a cancelled panel starts nothing and changes nothing.
    ASSERT_TRUE(walk({touch("song.mp3")}));
    ASSERT_TRUE(QDir(out).removeRecursively());
    delegate->stripButton()->click();
    ASSERT_EQ(tools.folderPanels.size(), 2);
    EXPECT_EQ(tools.folderPanels[1].message,
              QString::fromUtf8("Cleftone needs your permission to write stripped files to "
                                "\u201COut\u201D. Click Grant Access to confirm, or choose a "
                                "different folder."));
    EXPECT_EQ(tools.folderPanels[1].prompt, "Grant Access");
    EXPECT_EQ(tools.folderPanels[1].directory, out);
    EXPECT_FALSE(delegate->operationsRunning());
    EXPECT_EQ(listed().size(), 1);

    // A choice that cannot be bookmarked: refused, and unlike the pop-up nothing is reset.
    tools.folderPanelAnswers = {touch("notes.txt")};
    EXPECT_FALSE(delegate->ensureSandboxAccessForDestinationFolder(out));
    EXPECT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(preferences->stringForKey(kDestination), out);
    EXPECT_EQ(preferences->dataForKey(kBookmark), renewed);
    expectFolderItemSelected("Out");

    const QString other = folder("Other");
    tools.folderPanelAnswers = {other};
    EXPECT_TRUE(delegate->ensureSandboxAccessForDestinationFolder(out));
    EXPECT_EQ(stored(), writingTo(other));
    expectFolderItemSelected("Other");
}

} // namespace
} // namespace cleftone::test
