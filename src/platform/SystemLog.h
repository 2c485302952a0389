#pragma once

#include <QString>
#include <QStringList>

namespace cleftone {

/// Writes one diagnostic line to the system log (syslog, as "cleftone", facility user, level
/// notice) and to standard error as "cleftone: <line>". For internal diagnostics that the user
/// is not shown. Callable from any thread; lines are never interleaved. `toStandardError` false
/// keeps the line out of the terminal, for routine events such as an offline update check.
void systemLog(const QString& line, bool toStandardError = true);

/// While an object of this class lives, every line given to systemLog() is also recorded in it
/// (it still goes to the system log and standard error). Meant for tests. Create and destroy it
/// on one thread; lines() may be called from any thread. A newer capture hides an older one
/// until it is destroyed.
class SystemLogCapture {
public:
    SystemLogCapture();
    ~SystemLogCapture();
    SystemLogCapture(const SystemLogCapture&) = delete;
    SystemLogCapture& operator=(const SystemLogCapture&) = delete;

    QStringList lines() const;

private:
    friend void systemLog(const QString& line, bool toStandardError);
    SystemLogCapture* previous_ = nullptr;
    QStringList lines_;
};

} // namespace cleftone
