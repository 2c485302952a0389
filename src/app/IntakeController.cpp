#include "app/IntakeController.h"

#include "app/ActivityState.h"
#include "app/InspectionService.h"
#include "app/OperationsArrayController.h"
#include "engine/CapabilitySets.h"
#include "engine/audiofile/MetadataInspection.h"
#include "intake/DroppedFilesParser.h"
#include "intake/FileScreening.h"
#include "platform/MainThread.h"
#include "platform/PathBytes.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"

namespace cleftone {

IntakeController::IntakeController(OperationsArrayController& list, InspectionService& inspections,
                                   ActivityState& activity, TaskMeter& meter,
                                   Preferences& preferences, HasVideoTrack hasVideoTrack,
                                   QObject* parent)
    : QObject(parent), list_(list), inspections_(inspections), activity_(activity), meter_(meter),
      preferences_(preferences), hasVideoTrack_(std::move(hasVideoTrack)),
      droppedFilesParser_(std::make_unique<CTDroppedFilesParser>())
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // The walker is owned here and joins its thread before this object goes, so its callbacks
    // may use `this`; tasks they post are tied to this object and dropped with it.
    droppedFilesParser_->setOnWalkStart([this] { droppedFilesWalkDidStart(); });
    droppedFilesParser_->setWalkBatch(
        [this](const QStringList& batch) { walkDroppedFilesBatch(batch); });
    droppedFilesParser_->setOnAllWalksFinished([this] { droppedFilesWalksDidFinish(); });
}

IntakeController::~IntakeController()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // A walk stops at its next path.
    activity_.cancelled = true;
}

void IntakeController::submit(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    droppedFilesParser_->submit(paths);
}

QStringList IntakeController::skippedVideoPaths() const
{
    std::lock_guard lock(skippedVideoPathsLock_);
    return skippedVideoPathsAccumulator_;
}

void IntakeController::droppedFilesWalkDidStart()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    processingFiles_ = true;
    activity_.running = true;
    activity_.cancelled = false;
    emit walkStarted();
}

void IntakeController::walkDroppedFilesBatch(const QStringList& batch)
{
    ScreeningRules rules;
    rules.supportedExtensions = CTWritableAudioFileExtensions();
    rules.suppressVideoFileWarning =
        preferences_.boolForKey(QString::fromLatin1(kSuppressVideoFileWarningKey));
    rules.isCancelled = [this] {
        return activity_.cancelled.load();
    };
    rules.hasVideoTrack = hasVideoTrack_ ? hasVideoTrack_ : [this](const QString& path) {
        return probeAndInspect(path);
    };

    ScreeningSink sink;
    sink.admit = [this](const QString& path) {
        postAdmission(path);
    };
    sink.holdBackVideo = [this](const QString& path) {
        std::lock_guard lock(skippedVideoPathsLock_);
        skippedVideoPathsAccumulator_.append(path);
    };
    sink.leaveOut = [this](const QString& path) {
        std::lock_guard lock(skippedVideoPathsLock_);
        leftOutPaths_.append(path);
    };
    // A file dropped by itself counts as well, when it looks like audio or video.
    sink.skipUnsupported = [this](const QString& path) {
        if (looksLikeAudioOrVideo(path)) {
            std::lock_guard lock(skippedVideoPathsLock_);
            leftOutPaths_.append(path);
        }
    };
    screenBatch(batch, rules, sink);
}

bool IntakeController::probeAndInspect(const QString& path)
{
    const MetadataReport report = inspectMetadata(pathBytes(path).toStdString());
    std::lock_guard lock(handOverLock_);
    inspectedOnTheWay_.insert(path, InspectionService::metadataFrom(report));
    return report.hasVideo;
}

void IntakeController::postAdmission(const QString& path)
{
    bool first = false;
    {
        std::lock_guard lock(handOverLock_);
        first = admittedPaths_.isEmpty();
        admittedPaths_.append(path);
    }
    // Posted before the walker's batch-done task, so every admitted path is listed before the
    // walk ends.
    if (first)
        postToMainThread(this, [this] { drainAdmissions(); });
}

bool IntakeController::admissionsPending()
{
    std::lock_guard lock(handOverLock_);
    return !admittedPaths_.isEmpty();
}

void IntakeController::drainAdmissions()
{
    // A walk that finds thousands of files at once (a flat list of paths that all fail to open
    // is screened in microseconds each) would otherwise list them in one long task. Listing
    // goes in steps of a bounded size for as long as one turn of the event loop may take, and
    // the rest waits for the next turn.
    constexpr qsizetype kStep = 512;
    constexpr auto kTurn = std::chrono::milliseconds(5);
    const auto start = std::chrono::steady_clock::now();
    bool more = true;
    while (more && std::chrono::steady_clock::now() - start < kTurn) {
        QStringList paths;
        QHash<QString, FileMetadata> inspected;
        {
            std::lock_guard lock(handOverLock_);
            more = admittedPaths_.size() > kStep;
            if (more) {
                paths = admittedPaths_.first(kStep);
                admittedPaths_.remove(0, kStep);
            } else {
                paths.swap(admittedPaths_);
            }
            for (qsizetype i = 0; i < paths.size() && !inspectedOnTheWay_.isEmpty(); ++i) {
                if (const auto found = inspectedOnTheWay_.find(paths[i]);
                    found != inspectedOnTheWay_.end()) {
                    inspected.insert(paths[i], found.value());
                    inspectedOnTheWay_.erase(found);
                }
            }
        }
        // Paths already listed (also earlier in this walk) are dropped here, by exact text.
        const QStringList listed = list_.addObjects(paths);
        std::vector<MetadataResult> known;
        QStringList unknown;
        for (const QString& path : listed) {
            if (const auto found = inspected.constFind(path); found != inspected.cend())
                known.push_back({path, list_.serialOf(path), found.value()});
            else
                unknown << path;
        }
        list_.setMetadata(known);
        inspections_.inspect(unknown);
    }
    if (more)
        postToMainThread(this, [this] { drainAdmissions(); });
    meter_.note(start);
}

void IntakeController::droppedFilesWalksDidFinish()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // Admitted paths still waiting are listed first: their drain task is already queued. A walk
    // that started meanwhile ends for both.
    if (admissionsPending()) {
        postToMainThread(this, [this] {
            if (!droppedFilesParser_->walking())
                droppedFilesWalksDidFinish();
        });
        return;
    }
    processingFiles_ = false;
    QStringList heldBack;
    QStringList leftOut;
    {
        std::lock_guard lock(skippedVideoPathsLock_);
        heldBack.swap(skippedVideoPathsAccumulator_);
        leftOut.swap(leftOutPaths_);
    }
    {
        // Held-back files that are confirmed later are inspected again.
        std::lock_guard lock(handOverLock_);
        inspectedOnTheWay_.clear();
    }
    emit walkFinished(heldBack, leftOut);
}

} // namespace cleftone
