#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <ctime>

// Widgets are drawn into memory, so the tests need no display; a fixed time zone makes
// local-time texts known in advance.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TZ", "UTC");
    tzset();
    QApplication app(argc, argv);
    // Nothing here may read or write the user's own settings: the standard preferences live in
    // the test configuration folder too.
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    return RUN_ALL_TESTS();
}
