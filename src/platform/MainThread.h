#pragma once

#include <QtGlobal>

#include <functional>

class QObject;

namespace cleftone {

/// Queues `task` on the event loop of the main thread (the thread of the QCoreApplication).
/// Tasks run one at a time, in the order they were posted. Callable from any thread, also the
/// main thread itself (the task then runs on a later turn of the loop). Without a
/// QCoreApplication the task is dropped with a warning.
void postToMainThread(std::function<void()> task);

/// Like postToMainThread(task), in the same order, but the task is dropped if `context` is
/// destroyed before it runs. `context` must live on the main thread.
void postToMainThread(QObject* context, std::function<void()> task);

/// True on the thread of the QCoreApplication; false elsewhere and when there is none.
bool isMainThread();

} // namespace cleftone

/// For entry points that touch state owned by the main thread. Active in debug builds.
#define CLEFTONE_ASSERT_MAIN_THREAD()                                                              \
    Q_ASSERT_X(::cleftone::isMainThread(), Q_FUNC_INFO, "must be called on the main thread")
