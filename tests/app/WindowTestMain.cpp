#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <gtest/gtest.h>

// The main window is drawn offscreen, and no test touches the user's own settings.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    // Nothing here may read or write the user's own settings: the standard preferences live in
    // the test configuration folder too.
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    return RUN_ALL_TESTS();
}
