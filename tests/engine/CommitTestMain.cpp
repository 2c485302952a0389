#include "CommitTestSupport.h"

#include "engine/LeftoverJournal.h"
#include "engine/TemporaryFile.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {
QString journalDirectory;

// Child mode for the crash tests: takes a temporary output the way a strip job does, writes
// into it, reports the paths and is killed before it can clean up.
int killedJob(const QString& journal, const QString& outPath, const QString& inPath)
{
    cleftone::setLeftoverJournalDirectory(journal);
    auto* output = new cleftone::TemporaryOutput(journal);
    output->acquire(outPath, inPath);
    cleftone::test::writeFile(output->tempFilePath(), "half-written audio", 0600);
    std::printf("%s\n%s\n", qPrintable(output->tempFilePath()),
                qPrintable(output->replacementDirectory().value_or(QString())));
    std::fflush(stdout);
    std::raise(SIGKILL);
    return 1;
}
} // namespace

QString cleftone::test::journalDirectoryForTests()
{
    return journalDirectory;
}

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--killed-job") == 0)
        return killedJob(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                         QString::fromLocal8Bit(argv[4]));

    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Keep the user's own journal out of the tests.
    QTemporaryDir journal;
    journalDirectory = journal.path() + QStringLiteral("/journal");
    cleftone::setLeftoverJournalDirectory(journalDirectory);
    return RUN_ALL_TESTS();
}
