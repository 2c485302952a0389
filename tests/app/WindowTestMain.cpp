#include <QApplication>
#include <QStandardPaths>
#include <gtest/gtest.h>

// The main window is drawn offscreen, and no test touches the user's own settings.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    return RUN_ALL_TESTS();
}
