#include "engine/ReplacementFolders.h"

#include "engine/PosixFiles.h"
#include "engine/TemporaryFile.h"
#include "platform/PathBytes.h"

#include <filesystem>

namespace cleftone {

ReplacementFolders::ReplacementFolders(const QString& journalDirectory)
    : record_(journalDirectory, ProcessIdentity::current())
{}

ReplacementFolders::~ReplacementFolders()
{
    finish();
}

std::optional<QString> ReplacementFolders::directoryFor(const QString& outputPath)
{
    const QString folder = folderOfPath(outputPath);
    std::lock_guard lock(mutex_);
    if (const auto found = directories_.find(folder); found != directories_.end())
        return found->second;
    // Noted before it is made, as every temporary item is.
    const int entry = record_.expectIn(LeftoverKind::ReplacementDirectory, folder);
    std::optional<QString> directory = createReplacementDirectory(outputPath);
    if (directory)
        record_.made(entry, *directory);
    else
        record_.forget(entry);
    directories_[folder] = directory;
    return directory;
}

void ReplacementFolders::noteRenamedInto(const QString& folder)
{
    std::lock_guard lock(mutex_);
    unflushed_.insert(folder);
}

void ReplacementFolders::flushFolders()
{
    std::set<QString> folders;
    {
        std::lock_guard lock(mutex_);
        folders.swap(unflushed_);
    }
    for (const QString& folder : folders)
        syncFolder(folder);
}

void ReplacementFolders::finish()
{
    flushFolders();
    std::lock_guard lock(mutex_);
    bool leftSomething = false;
    for (const auto& [folder, directory] : directories_) {
        if (!directory)
            continue;
        std::error_code error;
        std::filesystem::remove_all(pathBytes(*directory).toStdString(), error);
        leftSomething = leftSomething || bool(error);
    }
    directories_.clear();
    // What could not be removed stays in the journal, for a start after this process ended.
    if (leftSomething)
        record_.abandon();
    else
        record_.drop();
}

} // namespace cleftone
