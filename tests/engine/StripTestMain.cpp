#include "StripTestSupport.h"

#include "engine/LeftoverJournal.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // The crash and system-call tests run this binary again to strip one file.
    if (const int status = cleftone::test::childMain(argc, argv); status >= 0)
        return status;

    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Keep the user's own journal out of the tests.
    QTemporaryDir journal;
    cleftone::setLeftoverJournalDirectory(journal.filePath(QStringLiteral("journal")));
    return RUN_ALL_TESTS();
}
