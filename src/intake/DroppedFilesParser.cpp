#include "intake/DroppedFilesParser.h"

#include "platform/MainThread.h"

#include <QObject>

namespace cleftone {

CTDroppedFilesParser::CTDroppedFilesParser() : m_guard(std::make_unique<QObject>())
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    m_worker = std::thread([this] { workerLoop(); });
}

CTDroppedFilesParser::~CTDroppedFilesParser()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    {
        std::lock_guard lock(m_workMutex);
        m_stopping = true;
        m_scheduled.reset();
    }
    m_workReady.notify_one();
    // The worker may still be inside walkBatch or about to post its batch-done task to m_guard;
    // the guard must outlive that, so it goes only after the join.
    m_worker.join();
    m_guard.reset();
}

void CTDroppedFilesParser::submit(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (paths.isEmpty())
        return;
    if (m_walking) {
        m_pending.append(paths);
        return;
    }
    m_walking = true;
    if (const Callback start = onWalkStart())
        start();
    walkAsync(paths);
}

bool CTDroppedFilesParser::walking() const
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    return m_walking;
}

QStringList CTDroppedFilesParser::pending() const
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    return m_pending;
}

CTDroppedFilesParser::Callback CTDroppedFilesParser::onWalkStart() const
{
    std::lock_guard lock(m_callbackMutex);
    return m_onWalkStart;
}

void CTDroppedFilesParser::setOnWalkStart(Callback callback)
{
    std::lock_guard lock(m_callbackMutex);
    m_onWalkStart = std::move(callback);
}

CTDroppedFilesParser::BatchCallback CTDroppedFilesParser::walkBatch() const
{
    std::lock_guard lock(m_callbackMutex);
    return m_walkBatch;
}

void CTDroppedFilesParser::setWalkBatch(BatchCallback callback)
{
    std::lock_guard lock(m_callbackMutex);
    m_walkBatch = std::move(callback);
}

CTDroppedFilesParser::Callback CTDroppedFilesParser::onAllWalksFinished() const
{
    std::lock_guard lock(m_callbackMutex);
    return m_onAllWalksFinished;
}

void CTDroppedFilesParser::setOnAllWalksFinished(Callback callback)
{
    std::lock_guard lock(m_callbackMutex);
    m_onAllWalksFinished = std::move(callback);
}

void CTDroppedFilesParser::walkAsync(QStringList batch)
{
    {
        std::lock_guard lock(m_workMutex);
        Q_ASSERT_X(!m_scheduled, Q_FUNC_INFO, "a batch is already in flight");
        m_scheduled = std::move(batch);
    }
    m_workReady.notify_one();
}

void CTDroppedFilesParser::walkDidFinish()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (!m_pending.isEmpty()) {
        QStringList next;
        next.swap(m_pending);
        walkAsync(std::move(next));
        return;
    }
    m_walking = false;
    if (const Callback finished = onAllWalksFinished())
        finished();
}

void CTDroppedFilesParser::workerLoop()
{
    for (;;) {
        QStringList batch;
        {
            std::unique_lock lock(m_workMutex);
            m_workReady.wait(lock, [this] { return m_stopping || m_scheduled.has_value(); });
            if (m_stopping)
                return;
            batch = std::move(*m_scheduled);
            m_scheduled.reset();
        }
        if (const BatchCallback work = walkBatch())
            work(batch);
        // Posted only now, behind every task the callback posted while it ran: the owner sees
        // all of those before it hears that the walk is over.
        postToMainThread(m_guard.get(), [this] { walkDidFinish(); });
    }
}

} // namespace cleftone
