#pragma once

#include <functional>

class QUrl;

// Opens a web address or a "mailto:" address with the desktop's default handler.
// Gives non-zero when the desktop took it.
int ShellOpen(const char* address);

// Replaces the desktop for tests (an empty function restores it); gives the previous.
using ShellOpener = std::function<int(const QUrl&)>;
ShellOpener SetShellOpener(ShellOpener opener);
