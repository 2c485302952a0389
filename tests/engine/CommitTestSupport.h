#pragma once

// File-system helpers of the commit and strip job tests.

#include "audiofile/RoundTrip.h"

#include <optional>
#include <sys/stat.h>

namespace cleftone::test {

inline std::optional<struct stat> statOf(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? std::optional(info)
                                                                    : std::nullopt;
}

inline bool exists(const QString& path)
{
    return statOf(path).has_value();
}

inline mode_t modeOf(const QString& path)
{
    const auto info = statOf(path);
    return info ? (info->st_mode & 07777) : 0;
}

/// Every name in `directory`, hidden ones included.
inline QStringList namesIn(const QString& directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

/// Sets an environment variable for the life of the object.
struct ScopedEnv {
    ScopedEnv(const char* name, const QByteArray& value) : name(name), old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv() { old.isNull() ? void(qunsetenv(name)) : void(qputenv(name, old)); }

    const char* name;
    const QByteArray old; // null: unset
};

} // namespace cleftone::test
