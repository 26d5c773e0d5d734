// KIVORA.cfg as anyone may have edited it: Load must take any bytes, and what Save then
// writes must read back to the same file, with one line per setting and user.
#include "TempDir.h"
#include "users/CSettings.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace
{

std::string SaveAs(CSettings& settings, const std::string& path)
{
    settings.SetPath(path.c_str());
    if (!settings.Save())
        __builtin_trap();
    return ReadWholeFile(path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TempDir dir;
    const std::string input = dir.File("in.cfg");
    WriteWholeFile(input, std::string(reinterpret_cast<const char*>(data), size));

    CSettings first;
    first.SetPath(input.c_str());
    first.Load();
    const std::string written = SaveAs(first, dir.File("first.cfg"));
    size_t lines = 0;
    for (char c : written)
        lines += c == '\n';
    if (lines != 4 + static_cast<size_t>(first.Users.GetCount()))
        __builtin_trap(); // some text added or lost a line

    CSettings second;
    second.SetPath(dir.File("first.cfg").c_str());
    second.Load();
    if (second.Users.GetCount() != first.Users.GetCount())
        __builtin_trap(); // a user was lost on the way
    if (SaveAs(second, dir.File("second.cfg")) != written)
        __builtin_trap(); // the file does not read back as it was written
    return 0;
}
