#include "forward/CForwardLink.h"

#include <QApplication>
#include <gtest/gtest.h>

// Widgets need one QApplication for the whole test run; the platform comes from
// QT_QPA_PLATFORM (offscreen under ctest). Test discovery runs the executable without
// that environment, so offscreen is also the default here.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CForwardLink::SetHelperPath(KIVORA_FORWARD_HELPER); // not beside the test programs
    return RUN_ALL_TESTS();
}
