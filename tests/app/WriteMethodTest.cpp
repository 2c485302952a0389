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
        EXPECT_EQ(popUp()->currentIndex(), 3);
    }
    void expectOverwrite()
    {
        EXPECT_EQ(popUp()->currentIndex(), 0);
        EXPECT_EQ(preferences->stringForKey(kDestination), kOverwrite);
        EXPECT_FALSE(preferences->value(kBookmark).isValid());
    }
};

TEST_F(WriteMethodTest, ChoosingCancellingAndFailingFolders)
{
    makeDelegate();
    const QString out = folder("Out");
    const QString second = folder("Second");

    // From the overwrite item, the Down key skips the separator and opens the panel.
    tools.folderPanelAnswers = {out, second};
    QTest::keyClick(popUp(), Qt::Key_Down);
    ASSERT_EQ(tools.folderPanels.size(), 1);
    expectFolderItemSelected("Out");
    EXPECT_EQ(stored(), writingTo(out));
    const QByteArray bookmark = preferences->dataForKey(kBookmark);

    // Overwriting keeps the folder's item; picking it again, even without bookmark, writes there.
    choose(0);
    EXPECT_EQ(preferences->stringForKey(kDestination), kOverwrite);
    EXPECT_EQ(preferences->dataForKey(kBookmark), bookmark);
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
    expectOverwrite();
}

// The folder is gone: Strip asks for it again, and a cancelled panel starts nothing.
TEST_F(WriteMethodTest, SandboxedStripAsksAgainForAFolderThatWentAway)
{
    makeDelegate([](AppDelegateEnvironment& environment) { environment.sandboxed = true; });
    const QString out = folder("Out");
    tools.folderPanelAnswers = {out};
    choose(2);
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
    expectFolderItemSelected("Out");
}

} // namespace
} // namespace cleftone::test
