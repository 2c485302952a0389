#include "DelegateTestSupport.h"

#include "app/FileTable.h"
#include "app/LeftOutReport.h"
#include "app/MetadataInspector.h"
#include "intake/DropPaths.h"

#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QTreeWidget>

namespace cleftone::test {
namespace {

const QString kAcknowledge = QStringLiteral("acknowledgementCheckBox");
const QString kDontAsk = QStringLiteral("dontAskAgainCheckBox");
constexpr int kAddAnyway = 1; // the skipped-files sheet's second button

/// Answers a confirmation sheet: ticks the named boxes, then presses the named button.
std::function<int(QDialog*)> answer(const QStringList& boxes, const QString& button)
{
    return [boxes, button](QDialog* dialog) {
        for (const QString& name : boxes) {
            auto* box = dialog->findChild<QCheckBox*>(name);
            EXPECT_NE(box, nullptr) << name.toStdString();
            if (box)
                box->click();
        }
        if (auto* pressed = dialog->findChild<QPushButton*>(button))
            pressed->click();
        else
            dialog->reject(); // as Escape does
        return dialog->result();
    };
}

class IntakeTest : public DelegateTest {
protected:
    bool walkAnswering(const QStringList& paths, int button)
    {
        tools.alertAnswers.push_back({button, false});
        return walk(paths);
    }
    bool pref(const char* key) const { return preferences->boolForKey(QString::fromLatin1(key)); }
};

TEST_F(IntakeTest, WalkingStateAndHeldBackFilesOfAllBatchesInOnePrompt)
{
    CleftoneAppDelegate& d = makeDelegate();
    const QString first = touch("video-1.mp4");
    const QString gated = touch("gate-video.m4a");
    const QString second = touch("video-2.3gp");
    const QString plain = touch("plain.mp3");

    ASSERT_TRUE(d.applicationOpenFiles({first, gated}));
    ASSERT_TRUE(waitFor([this] { return gate.arrivals == 1; }));
    // Stop is offered even though nothing is listed yet; the rest waits.
    EXPECT_TRUE(d.processingFiles() && d.stripButton()->isEnabled());
    EXPECT_EQ(d.stripButton()->text(), "Stop");
    EXPECT_FALSE(d.writeMethodPopUp()->isEnabled() || d.clearButton()->isEnabled());
    EXPECT_FALSE(d.validateMenuItem(d.addFilesAction()) || d.addFilesAction()->isEnabled());
    // Opened while the first batch is at work: joins this walk as its next batch.
    EXPECT_TRUE(d.applicationOpenFiles({second, plain}));
    tools.dialogAnswers.push_back(answer({kAcknowledge}, "addAnywayButton"));
    tools.alertAnswers = {{kAddAnyway, false}};
    gate.open = true;
    ASSERT_TRUE(waitFor([&] { return walks == 1; }));

    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts[0].spec.messageText, "Skipped 3 files that contain video.");
    // Confirmed paths follow in the order they were found.
    EXPECT_EQ(listed(), QStringList({plain, first, gated, second}));
    EXPECT_EQ(probedPaths(), QStringList({first, gated, second}));
}

TEST_F(IntakeTest, StopEndsTheWalkKeepingWhatWasAdmittedAndOfferingWhatWasHeldBack)
{
    CleftoneAppDelegate& d = makeDelegate();
    const QString first = touch("first.mp3");
    const QString video = touch("video.mp4");
    const QString gated = touch("gate-video.m4a");
    const QString after = touch("after.mp3");
    touch("more/inside.mp3");

    ASSERT_TRUE(d.applicationOpenFiles({first, video, gated, after, dir.filePath("more")}));
    ASSERT_TRUE(waitFor([this] { return gate.arrivals == 1; }));
    ASSERT_TRUE(d.applicationOpenFiles({touch("late.mp3")}));
    ASSERT_TRUE(waitFor([&] { return listed() == QStringList{first}; }));
    EXPECT_FALSE(d.clearButton()->isEnabled() || d.clearAction()->isEnabled()) << "busy";
    d.tableView()->selectAll();
    d.removeSelectedFiles();
    d.clearButtonPressed();
    d.stripButton()->click();
    EXPECT_FALSE(d.stripButton()->isEnabled());
    tools.alertAnswers = {{0, false}};
    gate.open = true;
    ASSERT_TRUE(waitFor([&] { return walks == 1; }));

    EXPECT_EQ(listed(), QStringList{first});
    EXPECT_EQ(probedPaths(), QStringList({video, gated}));
    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts[0].spec.messageText, "Skipped 2 files that contain video.");
    EXPECT_EQ(d.stripButton()->text(), "Strip");
    EXPECT_FALSE(d.stripButtonActionIsStop() || d.operationsRunning());

    ASSERT_TRUE(walk({after})); // starts uncancelled
    EXPECT_EQ(listed(), QStringList({first, after}));
}

TEST_F(IntakeTest, DropsAndAddFilesSubmitLocalFilesAfterReturning)
{
    CleftoneAppDelegate& d = makeDelegate();
    const QString a = touch("a.mp3");
    const QString b = touch("b c.flac");
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(a), QUrl::fromLocalFile(b)});
    EXPECT_TRUE(d.tableViewValidateDrop(&files));
    ASSERT_TRUE(d.tableViewAcceptDrop(&files));
    EXPECT_FALSE(d.droppedFilesParser().walking() || d.operationsRunning()) << "not yet";
    ASSERT_TRUE(waitFor([&] { return walks == 1; }));
    EXPECT_EQ(listed(), QStringList({a, b}));

    // Music-library tracks, as a real drag and drop on the table: taken as a copy.
    const QString track = touch("library/Track One.m4a");
    QMimeData tracks;
    tracks.setData(QString::fromLatin1(kMusicLibraryPasteboardType),
                   R"(<plist version="1.0"><dict><key>Tracks</key><dict><key>1</key><dict>)"
                   "<key>Location</key><string>" +
                       QUrl::fromLocalFile(track).toEncoded() +
                       "</string></dict></dict></dict></plist>");
    QDragEnterEvent enter({10, 10}, Qt::CopyAction | Qt::MoveAction, &tracks, Qt::LeftButton,
                          Qt::NoModifier);
    QCoreApplication::sendEvent(d.tableView()->viewport(), &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, &tracks, Qt::LeftButton,
                    Qt::NoModifier);
    QCoreApplication::sendEvent(d.tableView()->viewport(), &drop);
    EXPECT_TRUE(drop.isAccepted() && drop.dropAction() == Qt::CopyAction);
    ASSERT_TRUE(waitFor([&] { return walks == 2; }));

    const QString inFolder = touch("picked/deep/inner.mp3");
    tools.openPanelAnswers = {{dir.filePath("picked")}};
    d.addFilesAction()->trigger();
    ASSERT_EQ(tools.openPanels.size(), 1);
    EXPECT_EQ(tools.openPanels[0].title, "Add Files");
    EXPECT_EQ(tools.openPanels[0].prompt, "Add");
    ASSERT_TRUE(waitFor([&] { return walks == 3; }));
    EXPECT_EQ(listed(), QStringList({a, b, track, inFolder}));
}

TEST_F(IntakeTest, VideoIsAskedAboutAndAddedOnlyWithTheAcknowledgement)
{
    CleftoneAppDelegate& d = makeDelegate();
    const QString video = touch("video.mp4");
    ASSERT_TRUE(walkAnswering({video}, 0)); // OK forgets the video
    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts[0].window, static_cast<QWidget*>(d.window()));
    const AlertSpec spec = tools.alerts[0].spec;
    EXPECT_EQ(spec.messageText, "Skipped 1 file that contain video.");
    EXPECT_EQ(spec.informativeText, "Cleftone is designed for audio files. Stripping a video "
                                    "file will discard its video track.");
    EXPECT_EQ(spec.buttonTitles, QStringList({"OK", "Add Anyway"}));
    EXPECT_FALSE(tools.calls.contains("beginDialogSheet"));

    ASSERT_TRUE(walkAnswering({video}, kAddAnyway));
    ASSERT_EQ(tools.pendingDialogs.size(), 1);
    QDialog* dialog = tools.pendingDialogs[0].dialog;
    EXPECT_EQ(dialog->findChild<QCheckBox*>(kDontAsk), nullptr) << "offered from the second time";
    EXPECT_EQ(dialog->findChild<QLabel*>("messageLabel")->text(), "Add video files anyway?");
    EXPECT_EQ(dialog->findChild<QLabel*>("acknowledgementLabel")->text(),
              "I understand Cleftone is designed for audio files, and that processing a video "
              "will result in the video track being removed.");
    auto* addAnyway = dialog->findChild<QPushButton*>("addAnywayButton");
    EXPECT_TRUE(addAnyway->isDefault() && !addAnyway->isEnabled());
    dialog->findChild<QCheckBox*>(kAcknowledge)->click();
    EXPECT_TRUE(addAnyway->isEnabled());
    // Add Anyway without the acknowledgement (a default-button press) adds nothing.
    dialog->findChild<QCheckBox*>(kAcknowledge)->click();
    tools.finishPendingDialog(1000);
    EXPECT_TRUE(listed().isEmpty());

    // "Don't ask again" counts only ticked and with Add Anyway: not with Escape or Cancel.
    for (const auto& [boxes, button] : {std::pair{QStringList{kAcknowledge, kDontAsk}, "escape"},
                                        {QStringList{kAcknowledge, kDontAsk}, "cancelButton"},
                                        {QStringList{kAcknowledge}, "addAnywayButton"}}) {
        tools.dialogAnswers.push_back(answer(boxes, button));
        ASSERT_TRUE(walkAnswering({video}, kAddAnyway));
        EXPECT_FALSE(pref(kSuppressVideoFileWarningKey)) << button;
    }
    EXPECT_EQ(listed(), QStringList{video});
    const QString other = touch("video-2.mp4");
    tools.dialogAnswers.push_back(answer({kAcknowledge, kDontAsk}, "addAnywayButton"));
    ASSERT_TRUE(walkAnswering({other}, kAddAnyway));
    EXPECT_TRUE(pref(kSuppressVideoFileWarningKey));

    // Later walks list video without probing or asking.
    const QString later = touch("video-later.3gp");
    ASSERT_TRUE(walk({later}));
    EXPECT_EQ(listed(), QStringList({video, other, later}));
    EXPECT_EQ(probedPaths().size(), 6);
    EXPECT_EQ(tools.alerts.size(), 6);
}

// What a dropped folder carries shows in the column and the inspector; what it held that
// Cleftone cannot strip is named under the list.
TEST_F(IntakeTest, ColumnInspectorAndLeftOutLineFollowTheDroppedFiles)
{
    // The real video test, which reads the M4A file's metadata while it has it open.
    CleftoneAppDelegate& d =
        makeDelegate([](AppDelegateEnvironment& environment) { environment.hasVideoTrack = {}; });
    const QString song = copyFixture("mp3_id3v23_apic.mp3", "album/song.mp3");
    copyFixture("m4a_aac_tags.m4a", "album/tune.m4a");
    for (const char* name : {"album/tune.mid", "album/.hidden.ra", "album/cover.jpg"})
        touch(QString::fromLatin1(name));
    ASSERT_TRUE(walk({dir.filePath("album")}));

    LeftOutReport& leftOut = *d.leftOutReport();
    EXPECT_TRUE(leftOut.panel()->isVisibleTo(d.window()));
    EXPECT_EQ(leftOut.label()->text(), "Left out 1 audio file that Cleftone cannot strip.");
    leftOut.button()->click();
    ASSERT_EQ(tools.pendingDialogs.size(), 1);
    const auto* files = tools.pendingDialogs[0].dialog->findChild<QTreeWidget*>("leftOutList");
    ASSERT_EQ(files->topLevelItemCount(), 1);
    EXPECT_EQ(files->topLevelItem(0)->text(0), "tune.mid");
    EXPECT_EQ(files->topLevelItem(0)->text(1), "MIDI audio: Cleftone cannot strip this format");
    tools.finishPendingDialog(0);

    const QModelIndex row = d.tableView()->model()->index(0, 0);
    EXPECT_EQ(row.siblingAtColumn(1).sibling(1, 1).data(), "6 tags, cover 232 bytes")
        << "read by the video test";
    ASSERT_TRUE(waitFor([&] { return row.siblingAtColumn(1).data() == "5 tags, cover 232 bytes"; }))
        << row.siblingAtColumn(1).data().toString().toStdString();
    EXPECT_TRUE(waitFor([&] {
        return d.fileTable()->statusLabel()->text() == "2 files, 2.5 kB of metadata to remove";
    })) << d.fileTable()->statusLabel()->text().toStdString();

    // Space on the current row opens the inspector on it.
    d.tableView()->setCurrentIndex(row);
    QTest::keyClick(d.tableView(), Qt::Key_Space);
    MetadataInspector& inspector = *d.inspector();
    ASSERT_TRUE(waitFor([&] { return inspector.path() == song && !inspector.isLoading(); }));
    EXPECT_FALSE(inspector.dock()->isHidden());
    const QTreeWidgetItem* tags = inspector.items()->topLevelItem(0);
    ASSERT_EQ(tags->childCount(), 5);
    EXPECT_EQ(tags->child(0)->text(0) + "=" + tags->child(0)->text(1), "title=CleftoneTag Title");
    ASSERT_NE(inspector.coverLabel()->pixmap().isNull(), true);
    EXPECT_EQ(inspector.coverLabel()->pixmap().size(), QSize(32, 32));
    EXPECT_EQ(inspector.coverCaption()->text(),
              QString::fromUtf8("JPEG image, 232 bytes, 32 × 32 pixels\nCover (front)"));
    EXPECT_EQ(inspector.totalLabel()->text(), "Metadata in all: 798 bytes");

    d.clearButtonPressed();
    EXPECT_FALSE(leftOut.panel()->isVisibleTo(d.window()));
    EXPECT_TRUE(waitFor([&] { return inspector.path().isEmpty(); }));
}

} // namespace
} // namespace cleftone::test
