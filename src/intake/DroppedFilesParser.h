#pragma once

#include <QStringList>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class QObject;

namespace cleftone {

/// Serialises the expansion of dropped and opened paths. Lists handed to submit() are worked
/// one batch at a time on the walker's own background thread by the walkBatch callback; lists
/// that arrive while a batch is in flight are joined, in submission order, into the next batch.
///
/// Calling order seen by the owner for one walk: onWalkStart (main thread, inside the submit()
/// that found the walker idle), one walkBatch per batch (background thread, never two at once),
/// then onAllWalksFinished (main thread), exactly once. onAllWalksFinished is posted to the main
/// thread only after the last walkBatch has returned, so every task that walkBatch posted to the
/// main thread runs before it.
///
/// Threads: construct, destroy, submit(), walking() and pending() on the main thread only. The
/// callback accessors may be called from any thread. The walker never looks at the paths.
///
/// Destruction waits for a batch that is being worked to return (the batch callback is expected
/// to stop early on its owner's cancel flag); after that no callback is called again, and
/// batches not yet started are dropped.
class CTDroppedFilesParser {
public:
    using Callback = std::function<void()>;
    using BatchCallback = std::function<void(const QStringList& batch)>;

    CTDroppedFilesParser();
    ~CTDroppedFilesParser();
    CTDroppedFilesParser(const CTDroppedFilesParser&) = delete;
    CTDroppedFilesParser& operator=(const CTDroppedFilesParser&) = delete;

    /// Starts a walk of `paths`, or adds them to the next batch when a walk is running. An empty
    /// list changes nothing and calls nothing.
    void submit(const QStringList& paths);

    /// True from the submit() that starts a walk until just before onAllWalksFinished is called.
    bool walking() const;
    /// Paths waiting for the next batch; empty whenever walking() is false.
    QStringList pending() const;

    /// Called on the main thread when the walker goes from idle to walking. May be empty.
    Callback onWalkStart() const;
    void setOnWalkStart(Callback callback);
    /// Does the work of one batch, on the walker's background thread. May be empty.
    BatchCallback walkBatch() const;
    void setWalkBatch(BatchCallback callback);
    /// Called on the main thread when the walker goes from walking to idle. May be empty.
    Callback onAllWalksFinished() const;
    void setOnAllWalksFinished(Callback callback);

private:
    void walkAsync(QStringList batch);
    void walkDidFinish();
    void workerLoop();

    // Main thread only.
    bool m_walking = false;
    QStringList m_pending;
    // Receiver of the batch-done tasks: destroying it drops those still queued, so none of them
    // reaches a destroyed walker.
    std::unique_ptr<QObject> m_guard;

    mutable std::mutex m_callbackMutex;
    Callback m_onWalkStart;
    BatchCallback m_walkBatch;
    Callback m_onAllWalksFinished;

    // Hand-over to the worker. Holds at most one batch: the next one is scheduled only from
    // walkDidFinish(), after the previous one has returned.
    std::mutex m_workMutex;
    std::condition_variable m_workReady;
    std::optional<QStringList> m_scheduled;
    bool m_stopping = false;
    std::thread m_worker;
};

} // namespace cleftone
