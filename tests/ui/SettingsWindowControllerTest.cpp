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

const QStringList kKeys{kMoveOriginalsToTrashKey, kSuppressVideoFileWarningKey,
                        kAutomaticallyChecksForUpdatesKey};

class SettingsWindowTest : public ::testing::Test {
protected:
    void TearDown() override { controller.window()->close(); }

    QTemporaryDir dir;
    const QString path = dir.filePath("settings.ini");
    Preferences preferences{path};
    SettingsWindowController controller{preferences, true};
};

TEST_F(SettingsWindowTest, CheckboxesAndPreferencesFollowEachOther)
{
    controller.showWindow();
    // Written to the file at once: a separate store reads it without any event loop turning.
    Preferences other(path);
    for (const QString& key : kKeys) {
        SCOPED_TRACE(key.toStdString());
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
    EXPECT_EQ(SettingsWindowController(preferences, false).checkBoxForKey(kKeys[2]), nullptr);
}

TEST_F(SettingsWindowTest, FixedCentredWindowWithNotesWrappedAt320)
{
    QWidget* window = controller.window();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window->geometry().center() - screen.center()).manhattanLength(), 1);
    controller.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window, 5000));
    EXPECT_EQ(window->windowTitle(), "Settings");
    const QSize size = window->size();
    EXPECT_EQ(size.width(), 380);
    window->resize(600, 400);
    EXPECT_EQ(window->size(), size);

    // Each box 20 from the left, its note indented 20 more and 4 below it, 12 between rows, 20
    // below the last note.
    int top = 20;
    for (const auto& row : controller.rows()) {
        SCOPED_TRACE(row.key.toStdString());
        const QRect box = row.checkBox->geometry();
        EXPECT_EQ(box.topLeft(), QPoint(20, top));
        EXPECT_LE(box.x() + box.width(), 360);
        QLabel* label = row.note;
        EXPECT_EQ(label->geometry().topLeft(), QPoint(40, box.y() + box.height() + 4));
        EXPECT_EQ(label->width(), 320);
        const QFontMetricsF small(label->font());
        EXPECT_LT(small.height(),
                  QFontMetricsF(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).height());
        // Every wrapped line is shown.
        EXPECT_GE(label->height(), label->heightForWidth(320));
        top = label->geometry().bottom() + 1 + 12;
    }
    EXPECT_EQ(top - 12 + 20, size.height());
    // At 320 pixels the video note needs more than one line.
    EXPECT_GE(controller.rows()[1].note->height(),
              2 * QFontMetricsF(controller.rows()[1].note->font()).lineSpacing() - 1);

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
