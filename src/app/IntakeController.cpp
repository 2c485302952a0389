#include "app/IntakeController.h"

#include "app/ActivityState.h"
#include "app/OperationsArrayController.h"
#include "engine/CapabilitySets.h"
#include "intake/DroppedFilesParser.h"
#include "intake/FileScreening.h"
#include "platform/MainThread.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"

namespace cleftone {

IntakeController::IntakeController(OperationsArrayController& list, ActivityState& activity,
                                   TaskMeter& meter, Preferences& preferences,
                                   HasVideoTrack hasVideoTrack, QObject* parent)
    : QObject(parent), list_(list), activity_(activity), meter_(meter), preferences_(preferences),
      hasVideoTrack_(std::move(hasVideoTrack)),
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
    rules.hasVideoTrack = hasVideoTrack_;

    ScreeningSink sink;
    sink.admit = [this](const QString& path) {
        postAdmission(path);
    };
    sink.holdBackVideo = [this](const QString& path) {
        std::lock_guard lock(skippedVideoPathsLock_);
        skippedVideoPathsAccumulator_.append(path);
    };
    screenBatch(batch, rules, sink);
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

void IntakeController::drainAdmissions()
{
    const auto start = std::chrono::steady_clock::now();
    QStringList paths;
    {
        std::lock_guard lock(handOverLock_);
        paths.swap(admittedPaths_);
    }
    // Paths already listed (also earlier in this walk) are dropped here, by exact text.
    list_.addObjects(paths);
    meter_.note(start);
}

void IntakeController::droppedFilesWalksDidFinish()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    processingFiles_ = false;
    QStringList heldBack;
    {
        std::lock_guard lock(skippedVideoPathsLock_);
        heldBack.swap(skippedVideoPathsAccumulator_);
    }
    emit walkFinished(heldBack);
}

} // namespace cleftone
