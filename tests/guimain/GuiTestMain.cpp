#include "forward/CForwardLink.h"

#include <QApplication>
#include <gtest/gtest.h>

// One QApplication for the run; offscreen also when test discovery runs it bare.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CForwardLink::SetHelperPath(KIVORA_FORWARD_HELPER); // not beside the test programs
    return RUN_ALL_TESTS();
}
