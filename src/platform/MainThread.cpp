#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace cleftone {

void postToMainThread(std::function<void()> task)
{
    postToMainThread(QCoreApplication::instance(), std::move(task));
}

void postToMainThread(QObject* context, std::function<void()> task)
{
    const QCoreApplication* app = QCoreApplication::instance();
    if (!app || !context) {
        qWarning("postToMainThread: no application object; task dropped");
        return;
    }
    Q_ASSERT_X(context->thread() == app->thread(), Q_FUNC_INFO,
               "the context object must live on the main thread");
    // Posted events of one thread are delivered in posting order whatever their receiver, so
    // tasks with and without a context keep one common order.
    QMetaObject::invokeMethod(context, std::move(task), Qt::QueuedConnection);
}

bool isMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace cleftone
