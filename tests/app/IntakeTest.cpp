#include "../intake/QStringPrinter.h"
#include "DelegateTestSupport.h"

#include "engine/CapabilitySets.h"
#include "intake/DropPaths.h"
#include "intake/DroppedFilesParser.h"
#include "intake/FileScreening.h"
#include "platform/PreferenceKeys.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMainWindow>
#include <QMimeData>
#include <QTableView>
#include <QUrl>

#include <atomic>
#include <future>
#include <mutex>

namespace cleftone::test {
namespace {

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

/// A music-library drag: one track record per location; an empty location gives a record
/// without "Location".
QByteArray musicLibraryPlist(const QStringList& locations)
{
    QByteArray xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
        "\"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/"
        "PropertyList-1.0.dtd\">\n<plist version=\"1.0\"><dict><key>Tracks</key><dict>";
    int id = 100;
    for (const QString& location : locations) {
        const QByteArray key = QByteArray::number(++id);
        xml += "<key>" + key + "</key><dict><key>Track ID</key><integer>" + key + "</integer>";
        if (!location.isEmpty())
            xml += "<key>Location</key><string>" + location.toUtf8() + "</string>";
        xml += "</dict>";
    }
    return xml + "</dict></dict></plist>\n";
}

QString fileUrl(const QString& path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

/// The delegate with a recording video probe: a name containing "video" has video, and a name
/// containing "gate" holds the walker inside the probe until openGate().
class IntakeTest : public DelegateTest {
protected:
    void TearDown() override
    {
        openGate();
        DelegateTest::TearDown();
    }

    CleftoneAppDelegate& make(std::function<bool(const QString&)> hasVideo = {})
    {
        if (!hasVideo)
            hasVideo = [](const QString& path) {
                return QFileInfo(path).fileName().contains("video");
            };
        CleftoneAppDelegate& made = makeDelegate([this, hasVideo](AppDelegateEnvironment& e) {
            e.hasVideoTrack = [this, hasVideo](const QString& path) {
                {
                    std::lock_guard lock(probeMutex);
                    probed << path;
                }
                if (QFileInfo(path).fileName().contains("gate")) {
                    ++atGate;
                    gateOpened.wait_for(std::chrono::seconds(10));
                }
                return hasVideo(path);
            };
        });
        QObject::connect(&made, &CleftoneAppDelegate::walkDidFinish, [this] { ++walksFinished; });
        return made;
    }

    void openGate()
    {
        if (!gateIsOpen.exchange(true))
            gate.set_value();
    }
    bool waitAtGate()
    {
        return waitFor([this] { return atGate.load() == 1; });
    }
    bool waitForWalks(int count)
    {
        return waitFor([&] { return walksFinished == count; });
    }
    QStringList listed() const { return delegate->operationsController()->arrangedObjects(); }
    QStringList probedPaths()
    {
        std::lock_guard lock(probeMutex);
        return probed;
    }

    QString copyFixture(const char* name, const QString& as)
    {
        const QString target = touch(as);
        QFile::remove(target);
        QFile::copy(QStringLiteral(CLEFTONE_TEST_DATA_DIR "/audio/") + QLatin1String(name), target);
        return target;
    }

    std::promise<void> gate;
    std::shared_future<void> gateOpened = gate.get_future().share();
    std::atomic<bool> gateIsOpen{false};
    std::atomic<int> atGate{0};
    std::mutex probeMutex;
    QStringList probed;
    int walksFinished = 0;
};

TEST_F(IntakeTest, FolderWalkListsSupportedEntriesByFullPathOnceEach)
{
    CleftoneAppDelegate& d = make();
    const QString song = touch("drop/song.mp3");
    touch("drop/notes.txt");
    const QString hidden = touch("drop/.hidden.flac");
    const QString loud = touch("drop/Loud.MP3");
    // A folder named like an audio file is judged by its name, and still entered.
    const QString inner = touch("drop/album.mp3/inner.wav");
    touch("drop/album.mp3/cover.jpg");
    const QString folder = dir.filePath("drop");
    const QString missing = dir.filePath("gone/missing.aiff");
    const QString capitals = touch("Direct.FLAC");

    ASSERT_TRUE(walk({folder, song, song, missing, touch("readme.txt"), capitals}));
    EXPECT_EQ(sorted(listed()),
              sorted({song, hidden, loud, folder + "/album.mp3", inner, missing, capitals}));
    // Submission order holds; the order inside the folder is the file system's.
    EXPECT_EQ(listed().mid(5), QStringList({missing, capitals}));
    EXPECT_EQ(d.operationsController()->headerTitle(), "Files To Strip: 7");
    EXPECT_EQ(d.stripButton()->text(), "Strip");
    EXPECT_TRUE(d.stripButton()->isEnabled());
    EXPECT_TRUE(d.clearButton()->isEnabled());
    EXPECT_TRUE(d.writeMethodPopUp()->isEnabled());
    EXPECT_TRUE(probedPaths().isEmpty());
    EXPECT_TRUE(tools.alerts.isEmpty());
}

TEST_F(IntakeTest, RealVideoIsHeldBackAndOnlySupportedVideoCapableNamesAreProbed)
{
    ASSERT_FALSE(CTWritableAudioFileExtensions().contains("mkv"));
    CleftoneAppDelegate& d = make([](const QString& path) { return CTFileHasVideoTrack(path); });
    const QString clip = copyFixture("mp4_aac_video.mp4", "media/clip.mp4");
    const QString coverM4a = copyFixture("m4a_aac_tags.m4a", "media/cover.m4a");
    const QString coverMp3 = copyFixture("mp3_id3v23_apic.mp3", "media/cover.mp3");
    copyFixture("mp4_aac_video.mp4", "media/clip.mkv");
    // Video under a supported name outside the video set is never probed, so it is listed.
    const QString muxed = copyFixture("mp4_aac_video.mp4", "media/muxed.aac");

    tools.alertAnswers = {{0, false}, {0, false}};
    ASSERT_TRUE(walk({dir.filePath("media")}));
    EXPECT_EQ(sorted(listed()), sorted({coverM4a, coverMp3, muxed}));
    EXPECT_EQ(sorted(probedPaths()), sorted({clip, coverM4a}));
    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts[0].spec.messageText, "Skipped 1 file that contain video.");
    EXPECT_EQ(tools.alerts[0].window, static_cast<QWidget*>(d.window()));

    // The next walk holds back only what it found itself.
    ASSERT_TRUE(walk({clip}));
    ASSERT_EQ(tools.alerts.size(), 2);
    EXPECT_EQ(tools.alerts[1].spec.messageText, "Skipped 1 file that contain video.");

    // With the warning switched off, video is listed without a probe or a prompt.
    preferences->setValue(QString::fromLatin1(kSuppressVideoFileWarningKey), true);
    ASSERT_TRUE(walk({clip}));
    EXPECT_EQ(listed().last(), clip);
    EXPECT_EQ(probedPaths().size(), 3);
    EXPECT_EQ(tools.alerts.size(), 2);
}

TEST_F(IntakeTest, WalkingStateAndHeldBackFilesOfAllBatchesInOnePrompt)
{
    CleftoneAppDelegate& d = make();
    const QString first = touch("video-1.mp4");
    const QString gated = touch("gate-video.m4a");
    const QString second = touch("video-2.3gp");
    const QString plain = touch("plain.mp3");

    ASSERT_TRUE(d.applicationOpenFiles({first, gated}));
    ASSERT_TRUE(waitAtGate());
    // The walking state: Stop is offered even though nothing is listed yet; the rest waits.
    EXPECT_TRUE(d.operationsRunning());
    EXPECT_TRUE(d.processingFiles());
    EXPECT_EQ(d.stripButton()->text(), "Stop");
    EXPECT_TRUE(d.stripButton()->isEnabled());
    EXPECT_FALSE(d.writeMethodPopUp()->isEnabled());
    EXPECT_FALSE(d.clearButton()->isEnabled());
    EXPECT_FALSE(d.validateMenuItem(d.addFilesAction()));
    EXPECT_FALSE(d.addFilesAction()->isEnabled());
    QMimeData drag;
    drag.setUrls({QUrl::fromLocalFile(plain)});
    EXPECT_FALSE(d.tableViewAcceptDrop(&drag));
    tools.openPanelAnswers = {{plain}};
    d.addFiles();
    EXPECT_TRUE(tools.openPanels.isEmpty());
    // Opened while the first batch is at work: joins this walk as its next batch.
    EXPECT_TRUE(d.applicationOpenFiles({second, plain}));
    EXPECT_EQ(d.droppedFilesParser().pending(), QStringList({second, plain}));
    tools.alertAnswers = {{1, false}};
    tools.dialogAnswers.push_back([](QDialog* dialog) {
        dialog->findChild<QCheckBox*>("acknowledgementCheckBox")->click();
        dialog->findChild<QPushButton*>("addAnywayButton")->click();
        return dialog->result();
    });
    openGate();
    ASSERT_TRUE(waitForWalks(1));

    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts[0].spec.messageText, "Skipped 3 files that contain video.");
    // Confirmed paths follow in the order they were found.
    EXPECT_EQ(listed(), QStringList({plain, first, gated, second}));
    EXPECT_EQ(probedPaths(), QStringList({first, gated, second}));
    EXPECT_FALSE(d.processingFiles());
    EXPECT_TRUE(d.addFilesAction()->isEnabled());
}

TEST_F(IntakeTest, StopEndsTheWalkKeepingWhatWasAdmittedAndOfferingWhatWasHeldBack)
{
    CleftoneAppDelegate& d = make();
    const QString first = touch("first.mp3");
    const QString video = touch("video.mp4");
    const QString gated = touch("gate-video.m4a");
    const QString after = touch("after.mp3");
    touch("more/inside.mp3");

    ASSERT_TRUE(d.applicationOpenFiles({first, video, gated, after, dir.filePath("more")}));
    ASSERT_TRUE(waitAtGate());
    ASSERT_TRUE(d.applicationOpenFiles({touch("late.mp3")}));
    ASSERT_TRUE(waitFor([&] { return listed() == QStringList{first}; }));
    EXPECT_FALSE(d.clearButton()->isEnabled()) << "busy, whatever the list holds";
    EXPECT_FALSE(d.clearAction()->isEnabled());
    ASSERT_TRUE(d.stripButtonActionIsStop());
    d.stripButton()->click();
    EXPECT_TRUE(d.operationsWereCancelled());
    EXPECT_FALSE(d.stripButton()->isEnabled());
    tools.alertAnswers = {{0, false}};
    openGate();
    ASSERT_TRUE(waitForWalks(1));

    EXPECT_EQ(listed(), QStringList{first});
    EXPECT_EQ(probedPaths(), QStringList({video, gated}));
    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts[0].spec.messageText, "Skipped 2 files that contain video.");
    EXPECT_EQ(d.stripButton()->text(), "Strip");
    EXPECT_TRUE(d.stripButton()->isEnabled());
    EXPECT_FALSE(d.stripButtonActionIsStop());
    EXPECT_FALSE(d.operationsRunning());

    // The next walk starts uncancelled.
    ASSERT_TRUE(walk({after}));
    EXPECT_EQ(listed(), QStringList({first, after}));
}

TEST_F(IntakeTest, DropsSubmitLocalFilesAfterReturningAndIgnoreEverythingElse)
{
    CleftoneAppDelegate& d = make();
    const QString a = touch("a.mp3");
    const QString b = touch("b c.flac");
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(a), QUrl::fromLocalFile(b)});
    EXPECT_TRUE(d.tableViewValidateDrop(&files));
    ASSERT_TRUE(d.tableViewAcceptDrop(&files));
    EXPECT_FALSE(d.droppedFilesParser().walking()) << "the walk starts after the drop returns";
    EXPECT_FALSE(d.operationsRunning());
    ASSERT_TRUE(waitForWalks(1));
    EXPECT_EQ(listed(), QStringList({a, b}));

    QMimeData webLink;
    webLink.setUrls({QUrl("https://example.com/album.mp3")});
    EXPECT_TRUE(d.tableViewAcceptDrop(&webLink));
    QCoreApplication::processEvents();
    EXPECT_FALSE(d.droppedFilesParser().walking());

    // Music-library tracks: only file locations, in the order of the collection.
    const QString library = QString::fromLatin1(kMusicLibraryPasteboardType);
    const QString track1 = touch("library/Track One.m4a");
    const QString track2 = touch("library/two.wav");
    QMimeData tracks;
    tracks.setData(library, musicLibraryPlist({fileUrl(track2), "http://example.com/three.mp3",
                                               QString(), fileUrl(track1)}));
    ASSERT_TRUE(d.tableViewAcceptDrop(&tracks));
    ASSERT_TRUE(waitForWalks(2));
    EXPECT_EQ(listed(), QStringList({a, b, track2, track1}));

    // Both kinds on one drag, as a real drop on the table: the URLs win.
    const QString viaUrl = touch("url.mp3");
    QMimeData both;
    both.setUrls({QUrl::fromLocalFile(viaUrl)});
    both.setData(library, musicLibraryPlist({fileUrl(touch("plist.mp3"))}));
    QWidget* viewport = d.tableView()->viewport();
    QDragEnterEvent enter({10, 10}, Qt::CopyAction | Qt::MoveAction, &both, Qt::LeftButton,
                          Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_EQ(enter.dropAction(), Qt::CopyAction);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, &both, Qt::LeftButton,
                    Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
    ASSERT_TRUE(waitForWalks(3));
    EXPECT_EQ(listed(), QStringList({a, b, track2, track1, viaUrl}));
}

TEST_F(IntakeTest, AddFilesSubmitsChosenFilesAndFoldersAndNothingWhenCancelled)
{
    CleftoneAppDelegate& d = make();
    const QString chosen = touch("chosen.aiff");
    const QString inFolder = touch("picked/deep/inner.mp3");
    tools.openPanelAnswers = {{chosen, dir.filePath("picked")}};
    d.addFilesAction()->trigger();
    ASSERT_EQ(tools.openPanels.size(), 1);
    EXPECT_EQ(tools.openPanels[0].title, "Add Files");
    EXPECT_EQ(tools.openPanels[0].prompt, "Add");
    ASSERT_TRUE(waitForWalks(1));
    EXPECT_EQ(listed(), QStringList({chosen, inFolder}));

    d.addFiles(); // nothing scripted: cancelled
    EXPECT_EQ(tools.openPanels.size(), 2);
    EXPECT_FALSE(d.droppedFilesParser().walking());
    EXPECT_EQ(listed().size(), 2);
}

} // namespace
} // namespace cleftone::test
