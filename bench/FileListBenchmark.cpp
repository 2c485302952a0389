// Cost of the file list at 100,000 files: intake's containsFile + addObject per file, a run's
// removal of every file front first, and removals from the back and from the middle.
//
// It is a measurement, not a test: the exit status is 0 whatever the times are.

#include "app/OperationsArrayController.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>

namespace {

constexpr int kFiles = 100000;

QStringList makePaths()
{
    QStringList paths;
    paths.reserve(kFiles);
    for (int i = 0; i < kFiles; ++i) {
        paths.append(QStringLiteral("/home/user/Music/Artist %1/Album/%2 Track.flac")
                         .arg(i / 12)
                         .arg(i % 12));
    }
    return paths;
}

void fill(cleftone::OperationsArrayController& list, const QStringList& paths)
{
    for (const QString& path : paths) {
        if (!list.containsFile(path)) {
            list.addObject(path);
        }
    }
}

void report(const char* what, const QElapsedTimer& timer)
{
    std::printf("%-44s %8.1f ms\n", what, static_cast<double>(timer.nsecsElapsed()) / 1e6);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList paths = makePaths();
    cleftone::OperationsArrayController list;
    QElapsedTimer timer;

    timer.start();
    fill(list, paths);
    report("100,000 x containsFile + addObject", timer);

    timer.start();
    for (const QString& path : paths) {
        list.removeObject(path);
    }
    report("remove every path, first row first", timer);

    fill(list, paths);
    timer.start();
    for (qsizetype i = paths.size() - 1; i >= 0; --i) {
        list.removeObject(paths[i]);
    }
    report("remove every path, last row first", timer);

    fill(list, paths);
    timer.start();
    for (int i = 0; i < 1000; ++i) {
        list.removeObject(paths[kFiles / 2 + i]);
    }
    report("1,000 removals from the middle", timer);

    timer.start();
    list.removeAll();
    report("removeAll", timer);
    return 0;
}
