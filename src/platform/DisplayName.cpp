#include "platform/DisplayName.h"

#include "platform/PathBytes.h"

namespace cleftone {

QString displayNameAtPath(const QString& path)
{
    qsizetype end = path.size();
    while (end > 0 && path.at(end - 1) == QLatin1Char('/'))
        --end;
    if (end == 0)
        return path.isEmpty() ? QString() : QStringLiteral("/");
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'), end - 1);
    return displayPath(path.mid(slash + 1, end - slash - 1));
}

} // namespace cleftone
