// KIVORA.cfg as anyone may have edited it: Load must take any bytes, and what Save then
// writes must read back to the same file, with one line per setting and user.
#include "TempDir.h"
#include "users/CSettings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TempDir dir;
    WriteWholeFile(dir.File("in.cfg"), std::string(reinterpret_cast<const char*>(data), size));
    std::string written[2];
    int users[2] = {};
    const std::string from[2] = {dir.File("in.cfg"), dir.File("0.cfg")};
    for (int pass = 0; pass < 2; ++pass) {
        CSettings settings;
        settings.SetPath(from[pass].c_str());
        settings.Load();
        settings.SetPath(dir.File(std::to_string(pass) + ".cfg").c_str());
        if (!settings.Save())
            __builtin_trap();
        written[pass] = ReadWholeFile(dir.File(std::to_string(pass) + ".cfg"));
        users[pass] = settings.Users.GetCount();
    }
    if (std::ranges::count(written[0], '\n') != 4 + users[0])
        __builtin_trap(); // some text added or lost a line
    if (users[1] != users[0] || written[1] != written[0])
        __builtin_trap(); // a user was lost, or the file does not read back as written
    return 0;
}
