#include "intake/FolderWalk.h"

#include "platform/PathBytes.h"

#include <QByteArray>

#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace cleftone {

namespace {

struct DirCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

// Returns false when the walk was stopped. `prefix` ends with '/'.
bool walkBytes(const QByteArray& prefix, const QString& prefixText,
               const std::function<bool(const QString&)>& visit)
{
    const std::unique_ptr<DIR, DirCloser> directory(::opendir(prefix.constData()));
    if (!directory)
        return true;
    while (const dirent* entry = ::readdir(directory.get())) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = prefix + name;
        const QString pathText = prefixText + pathFromBytes(name);
        if (!visit(pathText))
            return false;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) { // some file systems do not say
            struct stat info {};
            isFolder = ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
        }
        // Descend in place, as a deep iterator does; this folder's stream stays open meanwhile.
        if (isFolder && !walkBytes(path + '/', pathText + QLatin1Char('/'), visit))
            return false;
    }
    return true;
}

} // namespace

void walkFolder(const QString& folder, const std::function<bool(const QString&)>& visit)
{
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    walkBytes(pathBytes(prefix), prefix, visit);
}

} // namespace cleftone
