#pragma once

#include "base/CUString.h"

// The program's string table: the window-menu item and the tooltips, each tooltip
// under the ID of its control. Gives the empty text for an ID without a string.
CUString LoadString(int id);
