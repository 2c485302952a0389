#include "ui/SettingsWindowController.h"

#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <QLabel>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace cleftone {
namespace {

const QString kKey = QString::fromLatin1(kSuppressVideoFileWarningKey);

class SettingsWindowTest : public ::testing::Test {
protected:
    void TearDown() override { controller.window()->close(); }

    QTemporaryDir dir;
    const QString path = dir.filePath("settings.ini");
    Preferences preferences{path};
    SettingsWindowController controller{preferences};
};

TEST_F(SettingsWindowTest, CheckboxAndPreferenceFollowEachOther)
{
    QCheckBox* box = controller.checkBox();
    controller.showWindow();
    // Written to the file at once: a separate store reads it without any event loop turning.
    Preferences other(path);
    box->click();
    EXPECT_TRUE(other.boolForKey(kKey));
    box->click();
    EXPECT_FALSE(other.boolForKey(kKey));

    other.setValue(kKey, true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->isChecked(); }, 5000));
    other.setValue(kKey, false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !box->isChecked(); }, 5000));
    other.setValue(kKey, true);
    EXPECT_TRUE(SettingsWindowController(preferences).checkBox()->isChecked());
}

TEST_F(SettingsWindowTest, FixedCentredWindowWithNoteWrappedAt320)
{
    QWidget* window = controller.window();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window->geometry().center() - screen.center()).manhattanLength(), 1);
    controller.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window, 5000));
    EXPECT_EQ(window->windowTitle(), "Settings");
    window->resize(600, 400);
    EXPECT_EQ(window->size(), QSize(380, 90));

    const QRect box = controller.checkBox()->geometry();
    EXPECT_EQ(box.topLeft(), QPoint(20, 20));
    EXPECT_LE(box.x() + box.width(), 360);
    QLabel* label = controller.label();
    EXPECT_EQ(label->geometry().topLeft(), QPoint(40, box.y() + box.height() + 4));
    EXPECT_EQ(label->width(), 320);
    const QFontMetricsF small(label->font());
    EXPECT_LT(small.height(),
              QFontMetricsF(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).height());
    // Every wrapped line is shown, and at 320 pixels the text needs more than one.
    EXPECT_GE(label->height(), label->heightForWidth(320));
    EXPECT_GE(label->height(), 2 * small.lineSpacing() - 1);

    // Centred once only: a window the user moved reopens where it was left.
    window->move(30, 40);
    window->close();
    controller.showWindow();
    EXPECT_EQ(window->pos(), QPoint(30, 40));
}

TEST(SettingsWindowSharedTest, OneControllerOneWindow)
{
    // The shared controller reads the standard store, which must not be the user's own file.
    ASSERT_TRUE(Preferences::standard().fileName().startsWith(
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)));
    SettingsWindowController& shared = SettingsWindowController::sharedController();
    EXPECT_EQ(&shared, &SettingsWindowController::sharedController());
    shared.showWindow();
    SettingsWindowController::sharedController().showWindow();
    int shown = 0;
    for (const QWidget* widget : QApplication::topLevelWidgets())
        shown += widget->isVisible() && widget->windowTitle() == "Settings";
    EXPECT_EQ(shown, 1);
    shared.window()->close();
}

} // namespace
} // namespace cleftone
