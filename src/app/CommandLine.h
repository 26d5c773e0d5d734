#pragma once

// The program's few options, answered before Qt starts: none of them needs a display
// or touches a file. Gives the exit status when the program is to end here (0 after
// --help or --version, 2 for anything else it was given), or -1 to open the window.
// Qt's own options (-platform, -style, ...) are refused too: the window is configured
// through its settings file alone, and Qt's environment variables remain for the rest.
int AnswerCommandLine(int argc, char** argv);
