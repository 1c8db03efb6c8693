// One libFuzzer target; FUZZ_ENTRY names the entry it drives.
#include "FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FUZZ_ENTRY(data, size);
    return 0;
}
