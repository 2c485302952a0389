#include "platform/Preferences.h"

#include "platform/PreferenceKeys.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace cleftone;

namespace {

struct Change {
    QString key;
    QVariant value;
    QThread* thread;
};

void record(Preferences& preferences, std::vector<Change>& changes)
{
    QObject::connect(&preferences, &Preferences::valueChanged, &preferences,
                     [&changes](const QString& key, const QVariant& value) {
                         changes.push_back({key, value, QThread::currentThread()});
                     });
}

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
        preferences.registerDefaults({{kDestinationDirectoryKey, kOverwriteExistingFile},
                                      {kSuppressVideoFileWarningKey, false}});
        EXPECT_EQ(preferences.stringForKey(kDestinationDirectoryKey), kOverwriteExistingFile);
        preferences.setValue(kDestinationDirectoryKey, "/music/out");
        EXPECT_EQ(preferences.stringForKey(kDestinationDirectoryKey), "/music/out");
        preferences.removeValue(kDestinationDirectoryKey);
        EXPECT_EQ(preferences.stringForKey(kDestinationDirectoryKey), kOverwriteExistingFile);
        EXPECT_FALSE(preferences.boolForKey(kSuppressVideoFileWarningKey));
        EXPECT_FALSE(preferences.value(kDestinationFolderBookmarkKey).isValid());
        EXPECT_TRUE(preferences.dataForKey(kDestinationFolderBookmarkKey).isEmpty());

        preferences.setValue(kDestinationFolderBookmarkKey, bookmark);
        preferences.setValue(kVideoConfirmAlertHasBeenShownKey, true);
        preferences.setValue(kDestinationDirectoryKey, "/a b/ü; c=d");
        // Bytes are not text, and text is not bytes.
        EXPECT_EQ(preferences.stringForKey(kDestinationFolderBookmarkKey), QString());
        EXPECT_TRUE(preferences.dataForKey(kDestinationDirectoryKey).isEmpty());
    }
    Preferences reopened(file_);
    EXPECT_EQ(reopened.dataForKey(kDestinationFolderBookmarkKey), bookmark);
    EXPECT_TRUE(reopened.boolForKey(kVideoConfirmAlertHasBeenShownKey));
    EXPECT_EQ(reopened.stringForKey(kDestinationDirectoryKey), "/a b/ü; c=d");
    EXPECT_TRUE(QFileInfo(file_).isFile());
}

TEST_F(PreferencesTest, ChangesReachEveryObjectOnTheSameFileOnItsOwnThread)
{
    std::vector<Change> seenByA, seenByB, seenByOther;
    Preferences a(file_);
    Preferences b(file_);
    Preferences other(dir_.filePath("other.conf"));
    b.registerDefaults({{kSuppressVideoFileWarningKey, false}});
    record(a, seenByA);
    record(b, seenByB);
    record(other, seenByOther);

    a.setValue(kSuppressVideoFileWarningKey, true);
    ASSERT_EQ(seenByB.size(), 1u);
    EXPECT_EQ(seenByB.back().key, kSuppressVideoFileWarningKey);
    EXPECT_TRUE(seenByB.back().value.toBool());
    EXPECT_EQ(seenByA.size(), 1u);
    a.setValue(kSuppressVideoFileWarningKey, true); // no change, no signal
    EXPECT_EQ(seenByB.size(), 1u);

    std::thread([&] { a.removeValue(kSuppressVideoFileWarningKey); }).join();
    EXPECT_EQ(seenByB.size(), 1u); // delivered through the main thread's loop
    ASSERT_TRUE(QTest::qWaitFor([&] { return seenByB.size() == 2; }, 5000));
    EXPECT_EQ(seenByB.back().thread, QCoreApplication::instance()->thread());
    EXPECT_FALSE(seenByB.back().value.toBool()); // b's registered default
    EXPECT_TRUE(seenByOther.empty());
}

TEST_F(PreferencesTest, ConcurrentWritersLoseNothing)
{
    Preferences a(file_);
    Preferences b(file_);
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
    EXPECT_TRUE(fromWorker->fileName().contains("/.qttest/"))
        << fromWorker->fileName().toStdString();
}
