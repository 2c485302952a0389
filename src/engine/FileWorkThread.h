#pragma once

#include <QString>

#include <memory>

namespace cleftone {

// File work that a strip job need not wait for at once, done on the process's file-work thread:
// one thread for the whole process, started on first use and never stopped, which runs its
// tasks in the order they came. Where no thread can be started, the work is done at once.

/// Flushes a finished file to the disk on the file-work thread, so that the flush overlaps what
/// the strip job does next (the repair tool, the copy check). It stands for the flush before
/// the commit's rename as long as nothing changes the file after it; a file that the repair
/// tool rebuilt in its place is flushed again by the commit.
///
/// Threads: any thread; an object is used by the thread that made it.
class BackgroundFlush {
public:
    /// Opens `path` and starts flushing it.
    explicit BackgroundFlush(const QString& path);
    BackgroundFlush(const BackgroundFlush&) = delete;
    BackgroundFlush& operator=(const BackgroundFlush&) = delete;
    /// Waits for the flush if wait() has not.
    ~BackgroundFlush();

    /// Waits for the flush: 0, or the errno of the step that failed.
    int wait();

private:
    struct State;
    std::shared_ptr<State> state_;
};

/// Closes `fd` on the file-work thread. For a reference held across a rename to the file that
/// the rename replaced: the file system frees the file's blocks when its last reference goes,
/// which on some file systems costs as much as the rename itself. Any thread.
void closeInBackground(int fd);

} // namespace cleftone
