#include "platform/Preferences.h"

#include "platform/PreferenceKeys.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace cleftone;

namespace {

class PreferencesTest : public ::testing::Test {
protected:
    QTemporaryDir dir_;
    const QString file_ = dir_.filePath("prefs.conf");
};

} // namespace

TEST_F(PreferencesTest, UserValuesTakePrecedenceOverDefaultsAndSurviveInTheFile)
{
    const QByteArray bookmark("CTbm\x01\x00\xff\n=tail", 13);
    {
        Preferences preferences(file_);
        preferences.registerDefaults({{kDestinationDirectoryKey, kOverwriteExistingFile}});
        preferences.setValue(kDestinationDirectoryKey, "/music/out");
        EXPECT_EQ(preferences.stringForKey(kDestinationDirectoryKey), "/music/out");
        preferences.removeValue(kDestinationDirectoryKey);
        EXPECT_EQ(preferences.stringForKey(kDestinationDirectoryKey), kOverwriteExistingFile);

        preferences.setValue(kDestinationFolderBookmarkKey, bookmark);
        preferences.setValue(kVideoConfirmAlertHasBeenShownKey, true);
        preferences.setValue(kDestinationDirectoryKey, "/a b/ü; c=d");
    }
    Preferences reopened(file_);
    EXPECT_EQ(reopened.dataForKey(kDestinationFolderBookmarkKey), bookmark);
    EXPECT_TRUE(reopened.boolForKey(kVideoConfirmAlertHasBeenShownKey));
    EXPECT_EQ(reopened.stringForKey(kDestinationDirectoryKey), "/a b/ü; c=d");
}

TEST_F(PreferencesTest, ChangesReachEveryObjectOnTheSameFileOnItsOwnThread)
{
    struct Change {
        QString key;
        QVariant value;
        QThread* thread;
    };
    std::vector<Change> seen[3];
    Preferences a(file_), b(file_), other(dir_.filePath("other.conf"));
    b.registerDefaults({{kSuppressVideoFileWarningKey, false}});
    Preferences* all[] = {&a, &b, &other};
    for (int i = 0; i < 3; ++i)
        QObject::connect(all[i], &Preferences::valueChanged, all[i],
                         [&changes = seen[i]](const QString& key, const QVariant& value) {
                             changes.push_back({key, value, QThread::currentThread()});
                         });

    a.setValue(kSuppressVideoFileWarningKey, true);
    a.setValue(kSuppressVideoFileWarningKey, true); // no change, no signal
    ASSERT_EQ(seen[1].size(), 1u);
    EXPECT_EQ(seen[1].back().key, kSuppressVideoFileWarningKey);
    EXPECT_TRUE(seen[1].back().value.toBool());
    EXPECT_EQ(seen[0].size(), 1u);

    std::thread([&] { a.removeValue(kSuppressVideoFileWarningKey); }).join();
    EXPECT_EQ(seen[1].size(), 1u); // delivered through the main thread's loop
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen[1].size() == 2; }, 5000));
    EXPECT_EQ(seen[1].back().thread, QCoreApplication::instance()->thread());
    EXPECT_FALSE(seen[1].back().value.toBool()); // b's registered default
    EXPECT_TRUE(seen[2].empty());

    // Concurrent writers lose nothing.
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                (t % 2 ? a : b).setValue(QStringLiteral("k%1_%2").arg(t).arg(i), i);
        });
    for (auto& writer : writers)
        writer.join();
    Preferences reopened(file_);
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 25; ++i)
            EXPECT_EQ(reopened.value(QStringLiteral("k%1_%2").arg(t).arg(i)).toInt(), i);
    QCoreApplication::processEvents(); // drop the queued change signals
}

TEST(StandardPreferences, IsOneMainThreadObjectOutsideTheUsersConfiguration)
{
    Preferences* fromWorker = nullptr;
    std::thread([&] { fromWorker = &Preferences::standard(); }).join();
    EXPECT_EQ(&Preferences::standard(), fromWorker);
    EXPECT_EQ(fromWorker->thread(), QCoreApplication::instance()->thread());
    EXPECT_TRUE(fromWorker->fileName().contains("/.qttest/"));
}
