#include "engine/FileWorkThread.h"

#include "platform/PathBytes.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace cleftone {

namespace {

// One thread for the process, made on first use. It is never joined and its state never freed:
// a thread that the process's exit finds waiting must not see its mutex destroyed under it.
class FileWorkThread {
public:
    // None when no thread can be started. A child made by fork() has no copy of the thread, so
    // it starts its own.
    static FileWorkThread* instance()
    {
        static std::mutex guard;
        static FileWorkThread* current = nullptr;
        std::lock_guard lock(guard);
        if (!current || current->owner_ != ::getpid()) {
            auto* fresh = new FileWorkThread;
            try {
                std::thread([fresh] { fresh->run(); }).detach();
            } catch (const std::system_error&) {
                delete fresh;
                return nullptr;
            }
            current = fresh;
        }
        return current;
    }

    void post(std::function<void()> task)
    {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_one();
    }

private:
    FileWorkThread() : owner_(::getpid()) {}

    [[noreturn]] void run()
    {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !tasks_.empty(); });
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

    const pid_t owner_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
};

// 0 or the errno; a file system that keeps nothing to flush (EINVAL) counts as done.
int flushAndClose(int fd)
{
    const int result = ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
    ::close(fd);
    return result;
}

} // namespace

struct BackgroundFlush::State {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int result = 0;
};

BackgroundFlush::BackgroundFlush(const QString& path) : state_(std::make_shared<State>())
{
    // Opened here, not on the file-work thread: by the time that runs, a repair tool may be
    // renaming the file aside to put a rebuilt one in its place.
    const int fd = ::open(pathBytes(path).constData(), O_RDONLY | O_CLOEXEC);
    FileWorkThread* thread = fd >= 0 ? FileWorkThread::instance() : nullptr;
    if (!thread) {
        state_->result = fd >= 0 ? flushAndClose(fd) : errno;
        state_->finished = true;
        return;
    }
    thread->post([state = state_, fd] {
        const int result = flushAndClose(fd);
        {
            std::lock_guard lock(state->mutex);
            state->result = result;
            state->finished = true;
        }
        state->done.notify_all();
    });
}

BackgroundFlush::~BackgroundFlush()
{
    wait();
}

int BackgroundFlush::wait()
{
    std::unique_lock lock(state_->mutex);
    state_->done.wait(lock, [this] { return state_->finished; });
    return state_->result;
}

void closeInBackground(int fd)
{
    if (fd < 0)
        return;
    if (FileWorkThread* thread = FileWorkThread::instance())
        thread->post([fd] { ::close(fd); });
    else
        ::close(fd);
}

} // namespace cleftone
