#include "ui/SettingsWindowController.h"

#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"

#include <QCheckBox>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace cleftone {
namespace {

TEST(SettingsWindowTest, CheckboxesAndPreferencesFollowEachOther)
{
    QTemporaryDir dir;
    Preferences preferences(dir.filePath("settings.ini"));
    SettingsWindowController controller(preferences, true);
    controller.showWindow();
    // Written to the file at once: a separate store reads it without any event loop turning.
    Preferences other(preferences.fileName());
    for (const char* key : {kMoveOriginalsToTrashKey, kLeaveCleanFilesUntouchedKey,
                            kSuppressVideoFileWarningKey, kAutomaticallyChecksForUpdatesKey}) {
        SCOPED_TRACE(key);
        QCheckBox* box = controller.checkBoxForKey(key);
        ASSERT_NE(box, nullptr);
        box->click();
        EXPECT_TRUE(other.boolForKey(key));
        box->click();
        EXPECT_FALSE(other.boolForKey(key));
        other.setValue(key, true);
        EXPECT_TRUE(QTest::qWaitFor([&] { return box->isChecked(); }, 5000));
        other.setValue(key, false);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !box->isChecked(); }, 5000));
        other.setValue(key, true);
        EXPECT_TRUE(SettingsWindowController(preferences, true).checkBoxForKey(key)->isChecked());
    }
    // A build without an update feed offers no update checks.
    EXPECT_EQ(SettingsWindowController(preferences, false)
                  .checkBoxForKey(kAutomaticallyChecksForUpdatesKey),
              nullptr);
    controller.window()->close();
}

} // namespace
} // namespace cleftone
