#pragma once

#include "app/OperationsArrayController.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>

namespace cleftone {

struct ActivityState;
class CTDroppedFilesParser;
class InspectionService;
class Preferences;
class TaskMeter;

/// Intake: walks dropped, opened and chosen paths on the walker's thread, screens what it finds
/// (supported audio is admitted to the list, video files are held back for the user to decide,
/// audio and video Cleftone cannot strip is left out) and lists the admitted files on the main
/// thread, where it hands them to the inspection service for the metadata column. A file that
/// the video test opens anyway is inspected right there instead, so it is opened once. Presents
/// nothing: the window follows walkStarted() and walkFinished().
///
/// Threads: main thread only, except walkDroppedFilesBatch() (the walker's thread) and
/// skippedVideoPaths() (any thread).
class IntakeController : public QObject {
    Q_OBJECT

public:
    /// The video test of screening; empty: CTFileHasVideoTrack.
    using HasVideoTrack = std::function<bool(const QString& path)>;

    /// All references must outlive this object.
    IntakeController(OperationsArrayController& list, InspectionService& inspections,
                     ActivityState& activity, TaskMeter& meter, Preferences& preferences,
                     HasVideoTrack hasVideoTrack, QObject* parent = nullptr);
    /// Stops a walk at its next path and waits for it.
    ~IntakeController() override;

    /// Starts a walk of `paths`, or adds them to the walk in progress.
    void submit(const QStringList& paths);
    /// True from the start of a walk until its end.
    bool processingFiles() const { return processingFiles_; }
    /// Held-back video paths of the walk in progress.
    QStringList skippedVideoPaths() const;
    CTDroppedFilesParser& droppedFilesParser() { return *droppedFilesParser_; }

    /// The walker went from idle to walking. Emits walkStarted().
    void droppedFilesWalkDidStart();
    /// Expands and screens one batch. Background thread (the walker's).
    void walkDroppedFilesBatch(const QStringList& batch);
    /// The walker went idle. Emits walkFinished() once every admitted path is listed.
    void droppedFilesWalksDidFinish();

signals:
    void walkStarted();
    /// The walk ended; `heldBack` are the video files it held back, `leftOut` the audio and
    /// video files Cleftone cannot strip (not hidden ones), each in the order found.
    void walkFinished(const QStringList& heldBack, const QStringList& leftOut);

private:
    bool probeAndInspect(const QString& path);
    void postAdmission(const QString& path);
    void drainAdmissions();
    bool admissionsPending();

    OperationsArrayController& list_;
    InspectionService& inspections_;
    ActivityState& activity_;
    TaskMeter& meter_;
    Preferences& preferences_;
    const HasVideoTrack hasVideoTrack_;

    bool processingFiles_ = false;
    mutable std::recursive_mutex skippedVideoPathsLock_;
    QStringList skippedVideoPathsAccumulator_;
    QStringList leftOutPaths_; // guarded by skippedVideoPathsLock_
    // Hand-over from the walker: admitted paths wait here, and one task posted when the first
    // of them arrives takes those that have gathered by the time it runs, a bounded share at a
    // time. A burst of thousands of admissions is then a few short main-thread tasks instead of
    // thousands that the event loop would work off in one long stretch.
    std::mutex handOverLock_;
    QStringList admittedPaths_;
    // What the video test found while it had the file open, for the column.
    QHash<QString, FileMetadata> inspectedOnTheWay_;
    // Declared last so that it goes first: the walker's thread still posts to this object
    // while it winds down.
    std::unique_ptr<CTDroppedFilesParser> droppedFilesParser_;
};

} // namespace cleftone
