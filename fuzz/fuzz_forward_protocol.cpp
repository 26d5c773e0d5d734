// Any record a broken or hostile peer could put on the helper's socketpair: the decoders
// must take it without reading past it, and whatever they accept must encode back to the
// very same bytes (nothing read from outside the record, nothing dropped).
#include "forward/ForwardProtocol.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace ForwardProtocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > MaxMessage)
        return 0; // both ends refuse longer records before decoding
    const std::vector<uint8_t> record(data, data + size);
    CForwardStart start;
    if (DecodeStart(data, size, start) && EncodeStart(start) != record)
        __builtin_trap();
    CForwardStats stats;
    if (DecodeStats(data, size, stats) && EncodeStats(data[0], stats) != record)
        __builtin_trap();
    int denied = 0;
    CUString text;
    if (DecodeFailed(data, size, denied, text) && text.Str().size() > MaxText)
        __builtin_trap();
    return 0;
}
