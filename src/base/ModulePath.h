#pragma once

#include "base/CUString.h"

// The directory of the running executable, without a trailing separator.
CUString GetModulePath(int flag = 0);
