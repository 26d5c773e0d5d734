#include <QApplication>
#include <gtest/gtest.h>

// Widgets need one QApplication for the whole test run; the platform comes from
// QT_QPA_PLATFORM (offscreen under ctest).
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
