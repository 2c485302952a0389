#include "DelegateTestSupport.h"

#include "app/translations/Translations.h"
#include "engine/LeftoverJournal.h"

#include <QProgressBar>
#include <QStatusBar>

#include <array>

using namespace Qt::StringLiterals;

namespace cleftone::test {
namespace {

QList<QByteArray> allBytes(const QStringList& paths)
{
    QList<QByteArray> all;
    for (const QString& path : paths)
        all << bytes(path);
    return all;
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

class BatchRunTest : public DelegateTest {
protected:
    void SetUp() override
    {
        DelegateTest::SetUp();
        journal = dir.filePath(u"journal"_s);
        setLeftoverJournalDirectory(journal); // for the delegate's own jobs
    }

    void TearDown() override
    {
        for (Gate& each : gates)
            each.open = true;
        DelegateTest::TearDown();
        for (const Gate& each : gates)
            EXPECT_FALSE(each.timedOut);
        setLeftoverJournalDirectory(QString());
        installApplicationTranslator(*qApp, QLocale(QLocale::English));
    }

    /// Lists `files` for real strip jobs; the job of row i waits at gates[i] when i is in `held`.
    bool listGated(const QStringList& files, std::initializer_list<int> held = {})
    {
        for (int i = 0; i < int(gates.size()); ++i)
            gates[size_t(i)].open = std::find(held.begin(), held.end(), i) == held.end();
        makeDelegate([this, files](AppDelegateEnvironment& environment) {
            environment.makeOperation = [this, files](const QString& path) {
                StripEnvironment setting;
                setting.sandboxed = false;
                setting.journalDirectory = journal;
                setting.logError = [this](const QString& line) {
                    store.logMessage(line);
                };
                auto job = std::make_shared<GatedOperation>(
                    path, gates[size_t(files.indexOf(path))], true, setting);
                job->setDefaultsOverride(preferences.get());
                jobs.push_back(job);
                return job;
            };
        });
        return walk(files);
    }

    /// Copies of the fixtures into in/, the first one under `firstAs`.
    QStringList copies(const QStringList& names, const QString& firstAs)
    {
        QStringList paths;
        for (const QString& name : names)
            paths << copyFixture(
                name, u"in/"_s + (paths.isEmpty() ? firstAs : QFileInfo(name).fileName()));
        return paths;
    }

    bool entered(int index) const { return gates[size_t(index)].arrivals > 0; }

    void expectIdle(bool listEmpty)
    {
        EXPECT_EQ(delegate->stripButton()->text(), u"Strip"_s);
        EXPECT_FALSE(delegate->stripButtonActionIsStop() || delegate->operationsRunning());
        EXPECT_EQ(delegate->stripButton()->isEnabled(), !listEmpty);
        EXPECT_EQ(delegate->clearButton()->isEnabled(), !listEmpty);
        EXPECT_TRUE(delegate->writeMethodPopUp()->isEnabled());
        EXPECT_TRUE(delegate->window()->findChild<QWidget*>(u"progressPanel"_s)->isHidden());
    }

    QString journal;
    std::array<Gate, 5> gates;
    std::vector<std::shared_ptr<GatedOperation>> jobs;
};

TEST_F(BatchRunTest, TwoFailuresOfFiveGiveTheSummaryAndItsReport)
{
    const QStringList files =
        copies({u"bad/text.mp3"_s, u"mp3_id3v1.mp3"_s, u"flac_tags.flac"_s, u"wav_24bit.wav"_s},
               u"notes.mp3"_s);
    ASSERT_TRUE(listGated(files + QStringList{dir.filePath(u"in/gone.mp3"_s)}));
    tools.alertAnswers = {{1, false}};
    ASSERT_TRUE(runToEnd());

    EXPECT_TRUE(listed().isEmpty());
    expectIdle(true);
    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts[0].window, delegate->window()) << "a sheet on the main window";
    const AlertSpec& summary = tools.alerts[0].spec;
    EXPECT_EQ(summary.messageText, u"Failed To Strip 2 of 5 Files."_s);
    EXPECT_EQ(summary.buttonTitles, (QStringList{u"OK"_s, u"Show Report"_s}));
    EXPECT_TRUE(errorLog->isWindowLoaded() && errorLog->window()->isVisible());
    // The report is complete by the time the summary offers it.
    const QList<ErrorLogEntry> log = store.entries();
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[0].log.startsWith(u"Cleftone Failed To Strip File: notes.mp3"_s));
    EXPECT_TRUE(log[1].log.startsWith(u"Cleftone Failed To Strip File: gone.mp3"_s));
    EXPECT_EQ(bytes(files[0]), bytes(fixture(u"bad/text.mp3"_s)));
    EXPECT_EQ(entries(dir.filePath(u"in"_s)).size(), 4);
    // The status line counts what the three stripped files lost.
    qint64 removed = 0;
    for (const QString& file : files.mid(1))
        removed += bytes(fixture(QFileInfo(file).fileName())).size() - bytes(file).size();
    EXPECT_GT(removed, 0);
    EXPECT_EQ(delegate->window()->statusBar()->currentMessage(),
              u"Stripped 3 files, %1 of metadata removed."_s.arg(
                  QLocale().formattedDataSize(removed, 1, QLocale::DataSizeSIFormat)));
}

// The summary leaves the stopped files out, in the installed language.
TEST_F(BatchRunTest, StopDuringTheThirdFileLeavesTheRestUntouchedAndListed)
{
    ASSERT_TRUE(installApplicationTranslator(*qApp, QLocale(u"de_DE"_s)));
    const QStringList files =
        copies({u"bad/text.mp3"_s, u"mp3_apev2.mp3"_s, u"mp3_id3v23_apic.mp3"_s,
                u"flac_tags.flac"_s, u"wav_24bit.wav"_s},
               u"a_notes.mp3"_s);
    const QList<QByteArray> before = allBytes(files);
    ASSERT_TRUE(listGated(files, {0, 1, 2}));
    tools.alertAnswers = {{0, false}};
    delegate->stripButton()->click();
    EXPECT_EQ(delegate->progressBar()->maximum(), 5);
    // Caught before each file: the earlier ones are handled, this one is named.
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(waitFor([&] { return entered(k) && delegate->progressBar()->value() == k; }));
        EXPECT_EQ(listed(), files.mid(k));
        EXPECT_EQ(delegate->progressLabel()->text(),
                  u"Stripping \u201C%1\u201D"_s.arg(QFileInfo(files[k]).fileName()));
        if (k < 2)
            gates[size_t(k)].open = true;
    }

    delegate->stripButton()->click();
    EXPECT_TRUE(delegate->operationsWereCancelled());
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 0) << "the running job has not returned";
    gates[2].open = true;
    ASSERT_TRUE(waitFor([&] { return runs == 1; }));
    EXPECT_FALSE(entered(3) || entered(4)) << "a waiting job ran after Stop";
    EXPECT_EQ(listed(), files.mid(2));
    const QList<QByteArray> after = allBytes(files);
    EXPECT_NE(after[1], before[1]);
    EXPECT_EQ(after.mid(2), before.mid(2)) << "a stopped file was touched";
    EXPECT_EQ(entries(dir.filePath(u"in"_s)).size(), 5);
    expectIdle(false);
    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts[0].spec.messageText,
              u"Bei 1 von 2 Dateien konnten die Metadaten nicht entfernt werden."_s);
    EXPECT_FALSE(errorLog->isWindowLoaded()) << "OK only closes the sheet";
}

TEST_F(BatchRunTest, DestinationFolderGetsTheOutputsUntilItIsGone)
{
    const QString out = dir.filePath(u"out"_s);
    ASSERT_TRUE(QDir().mkpath(out));
    preferences->setValue(QString::fromLatin1(kDestinationDirectoryKey), out);
    preferences->setValue(QString::fromLatin1(kDestinationFolderBookmarkKey),
                          FolderBookmark::create(out).value());
    makeDelegate(); // its own jobs: they must read these preferences, not the user's
    EXPECT_EQ(delegate->writeMethodPopUp()->currentText(), u"out"_s);
    const QStringList files = copies({u"flac_tags.flac"_s, u"mp3_id3v1.mp3"_s}, u"a.flac"_s);
    ASSERT_TRUE(walk({files[0]}));
    ASSERT_TRUE(runToEnd());

    EXPECT_TRUE(tools.alerts.isEmpty());
    EXPECT_EQ(bytes(files[0]), bytes(fixture(u"flac_tags.flac"_s)));
    const QByteArray output = bytes(out + u"/a.flac"_s);
    EXPECT_FALSE(output.isEmpty() || output.contains("CleftoneTag")) << "a tag survived";
    EXPECT_EQ(entries(out), QStringList{u"a.flac"_s}) << "temporary files left";
    EXPECT_TRUE(entries(journal).isEmpty());

    // The folder goes away: the next Strip stops at an application-modal alert.
    ASSERT_TRUE(QDir(out).removeRecursively());
    ASSERT_TRUE(walk({files[1]}));
    delegate->stripButton()->click();
    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts[0].window, nullptr);
    const AlertSpec& alert = tools.alerts[0].spec;
    EXPECT_EQ(alert.messageText, u"Destination Folder Unavailable"_s);
    EXPECT_EQ(alert.informativeText, u"Cleftone can no longer access the destination folder. "
                                     u"Please re-select it from the popup."_s);
    EXPECT_EQ(bytes(files[1]), bytes(fixture(u"mp3_id3v1.mp3"_s)));
    expectIdle(false);

    // The next start forgets the folder, silently.
    makeDelegate();
    EXPECT_EQ(delegate->writeMethodPopUp()->count(), 3);
    EXPECT_EQ(preferences->stringForKey(QString::fromLatin1(kDestinationDirectoryKey)),
              QString::fromLatin1(kOverwriteExistingFile));
    EXPECT_EQ(tools.alerts.size(), 1);
}

TEST_F(BatchRunTest, QuitDuringARunDropsTheBatchAndItsPostedResults)
{
    const QStringList files = copies({u"bad/text.mp3"_s, u"mp3_id3v1.mp3"_s, u"mp3_apev2.mp3"_s,
                                      u"flac_tags.flac"_s, u"wav_24bit.wav"_s},
                                     u"a_notes.mp3"_s);
    const QList<QByteArray> before = allBytes(files);
    ASSERT_TRUE(listGated(files, {1}));
    delegate->stripButton()->click();
    // Without turning the event loop, so the first file's result is still waiting in it.
    ASSERT_TRUE(pollFor([this] { return entered(1); }));
    std::atomic<bool> sawCancel{false};
    std::thread releaser([&, running = jobs.at(1)] {
        sawCancel = pollFor([&] { return running->isCancelled(); });
        gates[1].open = true;
    });
    delegate.reset();
    releaser.join();
    EXPECT_TRUE(sawCancel) << "quitting must cancel the running job";

    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_TRUE(tools.calls.isEmpty()) << tools.calls.join(u',').toStdString();
    EXPECT_FALSE(entered(2) || entered(3) || entered(4)) << "a waiting job ran";
    EXPECT_EQ(allBytes(files).mid(1), before.mid(1));
    EXPECT_EQ(entries(dir.filePath(u"in"_s)).size(), 5);
    EXPECT_TRUE(entries(journal).isEmpty());
}

TEST_F(BatchRunTest, LongListIsQueuedInSlicesAndStopReachesTheSlicesNotQueuedYet)
{
    makeHeldJobsDelegate();
    QStringList paths;
    for (int i = 0; i < 10000; ++i)
        paths << dir.filePath(u"missing-%1.mp3"_s.arg(i));
    ASSERT_TRUE(walk(paths));

    // Stop before the event loop turns: only the first slice is queued, its first job held.
    delegate->stripButtonPressed();
    ASSERT_TRUE(waitFor([&] { return gate.arrivals == 1; }));
    delegate->stopButtonPressed();
    gate.open = true;
    ASSERT_TRUE(waitFor([&] { return runs == 1; }));

    // Jobs queued before or after Stop never ran, and the running one counts as stopped.
    EXPECT_EQ(gate.arrivals, 1);
    EXPECT_EQ(delegate->failedOperations() + delegate->successfulOperations(), 0);
    EXPECT_EQ(listed().size(), 10000);
    EXPECT_TRUE(tools.alerts.isEmpty()) << "no summary without failures";
    expectIdle(false);
    EXPECT_TRUE(waitFor([&] { return delegate->operationQueue().operationCount() == 0; }));
}

} // namespace
} // namespace cleftone::test
