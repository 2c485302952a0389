#include "ui/SettingsWindowController.h"

#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QScreen>
#include <QStandardPaths>
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
    for (const char* key : {kMoveOriginalsToTrashKey, kSuppressVideoFileWarningKey,
                            kAutomaticallyChecksForUpdatesKey}) {
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

// One shared window, fixed and centred once, with notes wrapped at 320.
TEST(SettingsWindowTest, SharedWindowLayout)
{
    // The shared controller reads the standard store, which must not be the user's own file.
    ASSERT_TRUE(Preferences::standard().fileName().startsWith(
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)));
    SettingsWindowController& controller = SettingsWindowController::sharedController();
    EXPECT_EQ(&controller, &SettingsWindowController::sharedController());
    QWidget* window = controller.window();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window->geometry().center() - screen.center()).manhattanLength(), 1);
    controller.showWindow();
    SettingsWindowController::sharedController().showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window, 5000));
    int shown = 0;
    for (const QWidget* widget : QApplication::topLevelWidgets())
        shown += widget->isVisible() && widget->windowTitle() == "Settings";
    EXPECT_EQ(shown, 1);
    const QSize size = window->size();
    EXPECT_EQ(size.width(), 380);
    window->resize(600, 400);
    EXPECT_EQ(window->size(), size);

    // Notes wrap at 320 pixels, every line shown.
    for (const auto& row : controller.rows())
        EXPECT_TRUE(row.note->width() == 320 &&
                    row.note->height() >= row.note->heightForWidth(320));
    QLabel* videoNote = controller.rows()[1].note;
    EXPECT_GE(videoNote->height(), 2 * QFontMetricsF(videoNote->font()).lineSpacing() - 1);

    // Centred once only: a window the user moved reopens where it was left.
    window->move(30, 40);
    window->close();
    controller.showWindow();
    EXPECT_EQ(window->pos(), QPoint(30, 40));
    window->close();
}

} // namespace
} // namespace cleftone
