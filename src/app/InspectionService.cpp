#include "app/InspectionService.h"

#include "app/ActivityState.h"
#include "engine/audiofile/MetadataInspection.h"
#include "platform/MainThread.h"
#include "platform/PathBytes.h"

#include <QThread>

#include <algorithm>
#include <iterator>
#include <sys/resource.h>
#include <unistd.h>

namespace cleftone {

namespace {

// Background work yields to the window, a walk and a strip run. The workers hold their lock
// only to take a path, so the window never waits long for one that was made to wait.
constexpr int kWorkerNice = 10;

} // namespace

InspectionService::InspectionService(OperationsArrayController& list, TaskMeter& meter,
                                     Inspect inspect, int workers, QObject* parent)
    : QObject(parent), list_(list), meter_(meter),
      inspect_(inspect ? std::move(inspect) : Inspect(&InspectionService::inspectFile))
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    connect(&list_, &OperationsArrayController::pathsRemoved, this,
            [this](const QStringList& paths) { forget(paths); });
    connect(&list_, &OperationsArrayController::allRemoved, this, [this] { forgetAll(); });
    if (workers <= 0)
        workers = std::clamp(QThread::idealThreadCount(), 1, 2);
    for (int i = 0; i < workers; ++i)
        workers_.emplace_back([this] { workerLoop(); });
}

InspectionService::~InspectionService()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

void InspectionService::inspect(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    std::vector<std::pair<QString, quint64>> listed;
    listed.reserve(std::size_t(paths.size()));
    for (const QString& path : paths) {
        if (const quint64 serial = list_.serialOf(path))
            listed.emplace_back(path, serial);
    }
    {
        // Held briefly: the workers take their next path under the same lock.
        std::lock_guard lock(mutex_);
        for (auto& [path, serial] : listed) {
            wanted_.insert(path, serial);
            queue_.push_back(std::move(path));
        }
    }
    wake_.notify_all();
}

void InspectionService::setPaused(bool paused)
{
    {
        std::lock_guard lock(mutex_);
        paused_ = paused;
    }
    wake_.notify_all();
}

qsizetype InspectionService::waiting() const
{
    std::lock_guard lock(mutex_);
    return qsizetype(wanted_.size());
}

void InspectionService::forget(const QStringList& paths)
{
    std::lock_guard lock(mutex_);
    // The queue keeps their entries; a worker skips a path that is not wanted.
    for (const QString& path : paths)
        wanted_.remove(path);
}

void InspectionService::forgetAll()
{
    std::lock_guard lock(mutex_);
    wanted_.clear();
    queue_.clear();
}

FileMetadata InspectionService::metadataFrom(const MetadataReport& report)
{
    FileMetadata metadata;
    metadata.state =
        report.readable ? FileMetadata::State::Inspected : FileMetadata::State::Unreadable;
    metadata.tags = int(report.tags.size());
    metadata.pictures = int(report.pictures.size());
    metadata.chapters = int(report.chapters.size());
    for (const MetadataPicture& picture : report.pictures)
        metadata.pictureBytes += picture.bytes;
    metadata.metadataBytes = report.metadataBytes;
    metadata.kept = int(report.kept.size());
    return metadata;
}

FileMetadata InspectionService::inspectFile(const QString& path)
{
    return metadataFrom(inspectMetadata(pathBytes(path).toStdString()));
}

void InspectionService::workerLoop()
{
    // On Linux each thread has a nice value of its own.
    [[maybe_unused]] const int niced = ::setpriority(PRIO_PROCESS, id_t(::gettid()), kWorkerNice);
    for (;;) {
        MetadataResult result;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || (!paused_ && !queue_.empty()); });
            if (stopping_)
                return;
            result.path = queue_.front();
            queue_.pop_front();
            // Taken off the wanted list now: a path listed twice meanwhile is inspected once.
            result.serial = wanted_.take(result.path);
            if (result.serial == 0)
                continue;
        }
        result.metadata = inspect_(result.path);
        postResult(std::move(result));
    }
}

void InspectionService::postResult(MetadataResult result)
{
    bool first = false;
    {
        std::lock_guard lock(handOverLock_);
        first = results_.empty();
        results_.push_back(std::move(result));
    }
    if (first)
        postToMainThread(this, [this] { drainResults(); });
}

void InspectionService::drainResults()
{
    // Files that cannot be opened are answered in microseconds, and their results pile up by
    // the thousand while the window draws; a bounded share per turn keeps it responsive.
    constexpr std::size_t kMostPerTask = 1024;
    const auto start = std::chrono::steady_clock::now();
    std::vector<MetadataResult> results;
    bool more = false;
    {
        std::lock_guard lock(handOverLock_);
        if (results_.size() <= kMostPerTask) {
            results.swap(results_);
        } else {
            const auto end = results_.begin() + std::ptrdiff_t(kMostPerTask);
            results.assign(std::make_move_iterator(results_.begin()), std::make_move_iterator(end));
            results_.erase(results_.begin(), end);
            more = true;
        }
    }
    if (more)
        postToMainThread(this, [this] { drainResults(); });
    list_.setMetadata(results);
    meter_.note(start);
}

} // namespace cleftone
