#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    // The list model asserts that it is used on the application's thread.
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
