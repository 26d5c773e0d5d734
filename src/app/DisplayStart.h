#pragma once

#include "base/CUString.h"

// Gives non-zero when there is a display to show the window on, as far as can be told
// before Qt starts; else 0 with the reason, one line. A QT_QPA_PLATFORM that is set is
// left to Qt.
int FindDisplay(CUString& reason);

// When no platform plugin starts (the one for the session not installed, a display that
// is gone), Qt prints a page and aborts. Between these two calls Qt's messages are held
// instead, and such a failure prints one line and exits with status 1; Release prints
// what was held and gives the messages back to Qt.
void HoldPlatformMessages();
void ReleasePlatformMessages();
