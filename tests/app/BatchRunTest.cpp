#include "DelegateTestSupport.h"

#include "app/translations/Translations.h"
#include "engine/CleftoneOperation.h"
#include "engine/LeftoverJournal.h"
#include "platform/FolderBookmark.h"
#include "platform/PreferenceKeys.h"

#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

using namespace Qt::StringLiterals;

namespace cleftone::test {
namespace {

constexpr auto kGateTimeout = std::chrono::seconds(10);
// Every text tag of the audio fixtures holds this token.
const QByteArray kTagToken("CleftoneTag");

QString fixture(const QString& name)
{
    return QStringLiteral(CLEFTONE_TEST_DATA_DIR "/audio/") + name;
}

QByteArray bytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QByteArray> bytes(const QStringList& paths)
{
    QList<QByteArray> all;
    for (const QString& path : paths)
        all << bytes(path);
    return all;
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

/// Polls `done` for up to kGateTimeout, without turning an event loop. Any thread.
bool pollFor(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + kGateTimeout;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

/// Catches a run between files: each job checks in before its work, and a held job waits
/// there until the test lets it go (or the timeout passes, which the test then reports).
struct JobGate {
    std::set<int> held; // fixed before the run starts
    std::array<std::atomic<bool>, 5> entered{}, released{};
    std::atomic<bool> timedOut{false};

    void enter(int index) // worker thread
    {
        entered[size_t(index)] = true;
        if (held.count(index) && !pollFor([&] { return released[size_t(index)].load(); }))
            timedOut = true;
    }
};

/// A real strip job that checks in with the gate first. The queue calls main() only for jobs
/// not cancelled before they started, so the gate also tells which jobs did any work.
class GatedOperation : public CleftoneOperation {
public:
    GatedOperation(const QString& path, StripEnvironment environment, JobGate& gate, int index)
        : CleftoneOperation(path, std::move(environment)), gate_(gate), index_(index)
    {}

protected:
    void main() override
    {
        gate_.enter(index_);
        CleftoneOperation::main();
    }

private:
    JobGate& gate_;
    int index_;
};

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
        for (std::atomic<bool>& released : gate.released)
            released = true;
        DelegateTest::TearDown();
        setLeftoverJournalDirectory(QString());
        installApplicationTranslator(*qApp, QLocale(QLocale::English));
    }

    /// Gated jobs over the test's preferences, journal and error log.
    void makeGatedDelegate()
    {
        makeDelegate([this](AppDelegateEnvironment& environment) {
            environment.makeOperation = [this](const QString& path) {
                StripEnvironment strip;
                strip.sandboxed = false;
                strip.journalDirectory = journal;
                strip.logError = [this](const QString& line) {
                    store.logMessage(line);
                };
                auto job =
                    std::make_shared<GatedOperation>(path, strip, gate, int(listed.indexOf(path)));
                job->setDefaultsOverride(preferences.get());
                jobs.push_back(job);
                return job;
            };
        });
    }

    /// Copies a fixture into the temporary folder "in", so that no run touches the original.
    QString copy(const QString& fixtureName, const QString& as = QString())
    {
        QDir().mkpath(dir.filePath(u"in"_s));
        const QString target =
            dir.filePath(u"in/"_s + (as.isEmpty() ? QFileInfo(fixtureName).fileName() : as));
        EXPECT_TRUE(QFile::copy(fixture(fixtureName), target)) << fixtureName.toStdString();
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                          QFile::ReadOther);
        return target;
    }

    void list(const QStringList& paths)
    {
        listed = paths;
        for (const QString& path : paths)
            delegate->operationsController()->addObject(path);
        delegate->refreshTableHeader();
        delegate->refreshActionButtons();
    }

    void pressStrip()
    {
        runFinished = false;
        QObject::connect(delegate.get(), &CleftoneAppDelegate::runDidFinish,
                         [this] { runFinished = true; });
        delegate->stripButton()->click();
    }

    bool waitForRunEnd()
    {
        return waitFor([this] { return runFinished; }, 30000);
    }

    void expectIdle(bool listEmpty)
    {
        EXPECT_EQ(delegate->stripButton()->text(), u"Strip"_s);
        EXPECT_FALSE(delegate->stripButtonActionIsStop());
        EXPECT_EQ(delegate->stripButton()->isEnabled(), !listEmpty);
        EXPECT_EQ(delegate->clearButton()->isEnabled(), !listEmpty);
        EXPECT_TRUE(delegate->writeMethodPopUp()->isEnabled());
        EXPECT_FALSE(delegate->operationsRunning());
        EXPECT_EQ(delegate->currentFinalizer(), nullptr);
        EXPECT_TRUE(progressPanel()->isHidden());
    }

    QWidget* progressPanel() const
    {
        return delegate->window()->findChild<QWidget*>(u"progressPanel"_s);
    }

    void stopWhileThirdRuns(bool firstFails);

    QString journal;
    JobGate gate;
    QStringList listed;
    std::vector<std::shared_ptr<GatedOperation>> jobs;
    bool runFinished = false;
};

TEST_F(BatchRunTest, FiveGoodFilesLeaveTheListOneByOneStripped)
{
    // In name order, which is also the order the folder lists them in.
    const QStringList names = {u"aiff_chunks_id3.aiff"_s, u"flac_tags.flac"_s,
                               u"m4a_aac_tags.m4a"_s, u"mp3_all_tags.mp3"_s,
                               u"wav_info_bext_id3.wav"_s};
    QStringList files;
    for (const QString& name : names) {
        ASSERT_TRUE(bytes(fixture(name)).contains(kTagToken)) << name.toStdString();
        files << copy(name);
    }
    makeGatedDelegate();
    list(files);
    gate.held = {0, 1, 2, 3, 4};
    QStringList headers;
    OperationsArrayController* controller = delegate->operationsController();
    QObject::connect(controller, &QAbstractItemModel::headerDataChanged,
                     [&] { headers << controller->headerTitle(); });

    pressStrip();
    EXPECT_EQ(delegate->stripButton()->text(), u"Stop"_s);
    EXPECT_TRUE(delegate->stripButton()->isEnabled());
    EXPECT_FALSE(delegate->clearButton()->isEnabled());
    EXPECT_FALSE(delegate->writeMethodPopUp()->isEnabled());
    EXPECT_TRUE(delegate->operationsRunning());
    EXPECT_NE(delegate->currentFinalizer(), nullptr);
    EXPECT_EQ(delegate->progressBar()->maximum(), 5);
    EXPECT_FALSE(progressPanel()->isHidden());

    // Caught before each file: the earlier ones are handled, this one is named.
    for (int k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(waitFor([&] { return gate.entered[size_t(k)].load(); }));
        ASSERT_TRUE(waitFor([&] { return delegate->progressBar()->value() == k; }));
        EXPECT_EQ(controller->arrangedObjects(), files.mid(k));
        EXPECT_TRUE(delegate->progressLabel()->text().contains(names[k]))
            << delegate->progressLabel()->text().toStdString();
        EXPECT_EQ(delegate->progressLabel()->toolTip(), files[k]);
        gate.released[size_t(k)] = true;
    }
    ASSERT_TRUE(waitForRunEnd());

    QStringList expectedHeaders;
    for (int left = 4; left >= 0; --left)
        expectedHeaders << u"Files To Strip: %1"_s.arg(left);
    EXPECT_EQ(headers, expectedHeaders) << "one header change per handled file";
    EXPECT_EQ(delegate->successfulOperations(), 5);
    EXPECT_TRUE(tools.alerts.isEmpty());
    EXPECT_EQ(store.rowCount(), 0);
    expectIdle(true);
    EXPECT_FALSE(gate.timedOut);

    for (const QString& file : files) {
        const QByteArray stripped = bytes(file);
        EXPECT_FALSE(stripped.isEmpty()) << file.toStdString();
        EXPECT_FALSE(stripped.contains(kTagToken)) << file.toStdString();
    }
    EXPECT_FALSE(bytes(files[3]).startsWith("ID3"));
    EXPECT_EQ(entries(dir.filePath(u"in"_s)), names) << "temporary files left";
    EXPECT_TRUE(entries(journal).isEmpty());
}

TEST_F(BatchRunTest, TwoFailuresOfFiveGiveTheSummaryAndItsReport)
{
    const QString notAudio = copy(u"bad/text.mp3"_s, u"notes.mp3"_s);
    const QString missing = dir.filePath(u"in/gone.mp3"_s);
    makeGatedDelegate();
    list({copy(u"mp3_id3v1.mp3"_s), notAudio, copy(u"flac_tags.flac"_s), missing,
          copy(u"wav_24bit.wav"_s)});
    tools.alertAnswers = {{1, false}};
    pressStrip();
    ASSERT_TRUE(waitForRunEnd());

    EXPECT_EQ(delegate->operationsController()->count(), 0);
    EXPECT_EQ(delegate->failedOperations(), 2);
    EXPECT_EQ(delegate->successfulOperations(), 3);
    expectIdle(true);
    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts.front().window, delegate->window()) << "a sheet on the main window";
    const AlertSpec& summary = tools.alerts.front().spec;
    EXPECT_EQ(summary.messageText, u"Failed To Strip 2 of 5 Files."_s);
    EXPECT_TRUE(summary.informativeText.isEmpty());
    EXPECT_EQ(summary.buttonTitles, (QStringList{u"OK"_s, u"Show Report"_s}));
    EXPECT_EQ(summary.defaultButton, 0);
    ASSERT_TRUE(errorLog->isWindowLoaded());
    EXPECT_TRUE(errorLog->window()->isVisible());

    // The report is complete by the time the summary offers it.
    const QList<ErrorLogEntry> log = store.entries();
    ASSERT_EQ(log.size(), 2);
    for (const ErrorLogEntry& entry : log)
        EXPECT_TRUE(entry.log.startsWith(u"Cleftone Failed To Strip File: "_s))
            << entry.log.toStdString();
    EXPECT_TRUE(log[0].log.contains(u"notes.mp3"_s));
    EXPECT_TRUE(log[1].log.contains(u"gone.mp3"_s));
    EXPECT_EQ(bytes(notAudio), bytes(fixture(u"bad/text.mp3"_s)));
    EXPECT_EQ(entries(dir.filePath(u"in"_s)), (QStringList{u"flac_tags.flac"_s, u"mp3_id3v1.mp3"_s,
                                                           u"notes.mp3"_s, u"wav_24bit.wav"_s}));

    // Strip again with the list now empty: a beep, and the last run's outcome stands.
    const QString header = delegate->operationsController()->headerTitle();
    delegate->stripButtonPressed();
    EXPECT_EQ(tools.beeps, 1);
    EXPECT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(delegate->failedOperations(), 2);
    EXPECT_EQ(delegate->successfulOperations(), 3);
    EXPECT_EQ(delegate->operationQueue().operationCount(), 0u);
    EXPECT_EQ(delegate->operationsController()->headerTitle(), header);
    EXPECT_EQ(jobs.size(), 5u);
    expectIdle(true);
}

void BatchRunTest::stopWhileThirdRuns(bool firstFails)
{
    const QStringList files = {firstFails ? copy(u"bad/text.mp3"_s, u"a_notes.mp3"_s)
                                          : copy(u"mp3_id3v1.mp3"_s),
                               copy(u"mp3_apev2.mp3"_s), copy(u"mp3_id3v23_apic.mp3"_s),
                               copy(u"flac_tags.flac"_s), copy(u"wav_24bit.wav"_s)};
    const QList<QByteArray> before = bytes(files);
    makeGatedDelegate();
    list(files);
    gate.held = {2};
    tools.alertAnswers = {{0, false}};
    pressStrip();
    ASSERT_TRUE(waitFor([&] { return gate.entered[2].load(); }));
    ASSERT_TRUE(waitFor([&] { return delegate->operationsController()->count() == 3; }));

    delegate->stripButton()->click();
    EXPECT_FALSE(delegate->stripButton()->isEnabled());
    EXPECT_EQ(delegate->stripButton()->text(), u"Stop"_s);
    EXPECT_TRUE(delegate->operationsWereCancelled());
    ASSERT_EQ(jobs.size(), 5u);
    for (size_t i = 2; i < 5; ++i)
        EXPECT_TRUE(jobs[i]->isCancelled()) << i;
    // The running job has not returned, so the run goes on, stopping.
    QCoreApplication::processEvents();
    EXPECT_FALSE(runFinished);
    EXPECT_TRUE(delegate->operationsRunning());
    EXPECT_FALSE(delegate->stripButton()->isEnabled());

    gate.released[2] = true;
    ASSERT_TRUE(waitForRunEnd());
    EXPECT_FALSE(gate.entered[3] || gate.entered[4]) << "a waiting job ran after Stop";
    EXPECT_EQ(delegate->operationsController()->arrangedObjects(), files.mid(2));
    EXPECT_EQ(delegate->operationsController()->headerTitle(), u"Files To Strip: 3"_s);
    const QList<QByteArray> after = bytes(files);
    EXPECT_NE(after[1], before[1]);
    EXPECT_EQ(after.mid(2), before.mid(2)) << "a stopped file was touched";
    EXPECT_EQ(delegate->failedOperations(), firstFails ? 1 : 0);
    EXPECT_EQ(delegate->successfulOperations(), firstFails ? 1 : 2);
    expectIdle(false);
    EXPECT_EQ(entries(dir.filePath(u"in"_s)).size(), 5);
    if (firstFails) {
        ASSERT_EQ(tools.alerts.size(), 1);
        EXPECT_EQ(tools.alerts.front().spec.messageText, u"Failed To Strip 1 of 2 Files."_s);
        EXPECT_FALSE(errorLog->isWindowLoaded()) << "OK only closes the sheet";
    } else {
        EXPECT_TRUE(tools.alerts.isEmpty());
    }
}

TEST_F(BatchRunTest, StopDuringTheThirdFileWithAnEarlierFailure)
{
    stopWhileThirdRuns(true);
}

TEST_F(BatchRunTest, StopDuringTheThirdFileWithoutFailures)
{
    stopWhileThirdRuns(false);
}

TEST_F(BatchRunTest, SummaryTextsComeFromTheTranslation)
{
    ASSERT_TRUE(installApplicationTranslator(*qApp, QLocale(u"de_DE"_s)));
    makeGatedDelegate();
    list({copy(u"bad/text.mp3"_s), copy(u"mp3_id3v1.mp3"_s)});
    tools.alertAnswers = {{0, false}};
    pressStrip();
    ASSERT_TRUE(waitForRunEnd());
    installApplicationTranslator(*qApp, QLocale(QLocale::English));

    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts.front().spec.messageText,
              u"Bei 1 von 2 Dateien konnten die Metadaten nicht entfernt werden."_s);
    EXPECT_EQ(tools.alerts.front().spec.buttonTitles,
              (QStringList{u"OK"_s, u"Bericht anzeigen"_s}));
    EXPECT_EQ(delegate->stripButton()->text(), u"Strip"_s) << "only the summary is looked up";
}

TEST_F(BatchRunTest, DestinationFolderGetsTheOutputsUntilItIsGone)
{
    const QString out = dir.filePath(u"out"_s);
    ASSERT_TRUE(QDir().mkpath(out));
    const std::optional<QByteArray> bookmark = FolderBookmark::create(out);
    ASSERT_TRUE(bookmark);
    const QString destinationKey = QString::fromLatin1(kDestinationDirectoryKey);
    preferences->setValue(destinationKey, out);
    preferences->setValue(QString::fromLatin1(kDestinationFolderBookmarkKey), *bookmark);
    // The delegate's own jobs: they must read these preferences, not the user's.
    makeDelegate();
    const QStringList names = {u"caf_pcm_info.caf"_s, u"flac_tags.flac"_s,
                               u"mp3_id3v24_apic.mp3"_s};
    QStringList files;
    for (const QString& name : names)
        files << copy(name);
    list(files);
    pressStrip();
    ASSERT_TRUE(waitForRunEnd());

    EXPECT_TRUE(tools.alerts.isEmpty());
    EXPECT_EQ(delegate->successfulOperations(), 3);
    expectIdle(true);
    EXPECT_EQ(entries(dir.filePath(u"in"_s)), names);
    EXPECT_EQ(entries(out), names) << "temporary files left";
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_EQ(bytes(dir.filePath(u"in/"_s + name)), bytes(fixture(name)));
        const QByteArray stripped = bytes(out + u'/' + name);
        EXPECT_FALSE(stripped.isEmpty());
        EXPECT_FALSE(stripped.contains(kTagToken));
    }
    EXPECT_TRUE(entries(journal).isEmpty());

    // The folder goes away: the next Strip stops at an application-modal alert.
    ASSERT_TRUE(QDir(out).removeRecursively());
    const QString next = copy(u"mp3_id3v1.mp3"_s);
    list({next});
    delegate->stripButton()->click();
    ASSERT_EQ(tools.alerts.size(), 1);
    EXPECT_EQ(tools.alerts.front().window, nullptr);
    const AlertSpec& alert = tools.alerts.front().spec;
    EXPECT_EQ(alert.messageText, u"Destination Folder Unavailable"_s);
    EXPECT_EQ(alert.informativeText, u"Cleftone can no longer access the destination folder. "
                                     u"Please re-select it from the popup."_s);
    EXPECT_EQ(alert.buttonTitles, QStringList{u"OK"_s});
    EXPECT_EQ(delegate->operationsController()->arrangedObjects(), QStringList{next});
    EXPECT_EQ(delegate->operationQueue().operationCount(), 0u);
    EXPECT_EQ(preferences->stringForKey(destinationKey), out);
    EXPECT_EQ(bytes(next), bytes(fixture(u"mp3_id3v1.mp3"_s)));
    expectIdle(false);
}

TEST_F(BatchRunTest, QuitDuringARunDropsTheBatchAndItsPostedResults)
{
    const QStringList files = {copy(u"bad/text.mp3"_s, u"a_notes.mp3"_s), copy(u"mp3_id3v1.mp3"_s),
                               copy(u"mp3_apev2.mp3"_s), copy(u"flac_tags.flac"_s),
                               copy(u"wav_24bit.wav"_s)};
    const QList<QByteArray> before = bytes(files);
    makeGatedDelegate();
    list(files);
    gate.held = {1};
    pressStrip();
    // Without turning the event loop, so the first file's result is still waiting in it.
    ASSERT_TRUE(pollFor([this] { return gate.entered[1].load(); }));
    ASSERT_EQ(jobs.size(), 5u);

    const std::shared_ptr<GatedOperation> running = jobs[1];
    std::atomic<bool> sawCancel{false};
    std::thread releaser([&] {
        sawCancel = pollFor([&] { return running->isCancelled(); });
        gate.released[1] = true;
    });
    delegate.reset();
    releaser.join();
    EXPECT_TRUE(sawCancel) << "quitting must cancel the running job";

    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_TRUE(tools.calls.isEmpty()) << tools.calls.join(u',').toStdString();
    EXPECT_FALSE(gate.entered[2] || gate.entered[3] || gate.entered[4]) << "a waiting job ran";
    EXPECT_EQ(bytes(files).mid(1), before.mid(1));
    EXPECT_EQ(entries(dir.filePath(u"in"_s)).size(), 5);
    EXPECT_TRUE(entries(journal).isEmpty());
}

/// A job that does no file work: it counts its runs and succeeds.
class CountingOperation : public CleftoneOperation {
public:
    CountingOperation(const QString& path, std::atomic<int>& runs)
        : CleftoneOperation(path), runs_(runs)
    {}

protected:
    void main() override { ++runs_; }

private:
    std::atomic<int>& runs_;
};

TEST_F(BatchRunTest, LongListIsQueuedInSlicesAndStopReachesTheSlicesNotQueuedYet)
{
    std::atomic<int> runs{0};
    makeDelegate([&](AppDelegateEnvironment& environment) {
        environment.makeOperation = [&runs](const QString& path) {
            return std::make_shared<CountingOperation>(path, runs);
        };
    });
    QStringList paths;
    for (int i = 0; i < 10000; ++i)
        paths << dir.filePath(QStringLiteral("missing-%1.mp3").arg(i));
    delegate->operationsController()->addObjects(paths);

    bool finished = false;
    QObject::connect(delegate.get(), &CleftoneAppDelegate::runDidFinish,
                     [&finished] { finished = true; });
    // Strip, then Stop before the event loop turns: only the first slice is in the queue.
    delegate->stripButtonPressed();
    EXPECT_FALSE(delegate->applicationOpenFiles({dir.filePath(QStringLiteral("late.mp3"))}));
    delegate->stopButtonPressed();
    ASSERT_TRUE(waitFor([&] { return finished; }, 30000));

    // Jobs queued after Stop never ran; every file not handled is still listed, uncounted.
    EXPECT_LT(runs.load(), 4096);
    const qint64 handled = delegate->failedOperations() + delegate->successfulOperations();
    EXPECT_EQ(handled, runs.load());
    EXPECT_EQ(delegate->operationsController()->count(), 10000 - handled);
    EXPECT_EQ(delegate->stripButton()->text(), QStringLiteral("Strip"));
    EXPECT_TRUE(delegate->stripButton()->isEnabled());
    EXPECT_EQ(delegate->operationQueue().operationCount(), 0u);
}

} // namespace
} // namespace cleftone::test
