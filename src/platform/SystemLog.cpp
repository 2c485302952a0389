#include "platform/SystemLog.h"

#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace cleftone {

namespace {

struct LogState {
    std::mutex mutex;
    SystemLogCapture* capture = nullptr;
};

// Never destroyed: diagnostics may still be written while static objects are torn down.
LogState& logState()
{
    static LogState* state = new LogState;
    return *state;
}

} // namespace

void systemLog(const QString& line, bool toStandardError)
{
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("cleftone", LOG_PID, LOG_USER); });

    const QByteArray utf8 = line.toUtf8();
    LogState& state = logState();
    std::lock_guard lock(state.mutex);
    syslog(LOG_NOTICE, "%s", utf8.constData());
    if (toStandardError) {
        std::fprintf(stderr, "cleftone: %s\n", utf8.constData());
        std::fflush(stderr);
    }
    if (state.capture)
        state.capture->lines_.append(line);
}

SystemLogCapture::SystemLogCapture()
{
    LogState& state = logState();
    std::lock_guard lock(state.mutex);
    previous_ = state.capture;
    state.capture = this;
}

SystemLogCapture::~SystemLogCapture()
{
    LogState& state = logState();
    std::lock_guard lock(state.mutex);
    state.capture = previous_;
}

QStringList SystemLogCapture::lines() const
{
    std::lock_guard lock(logState().mutex);
    return lines_;
}

} // namespace cleftone
