// Container parser fuzz target: any bytes must parse or be refused without touching memory outside
// the input, and a success must honour the declared size bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "CZxmContainer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CZxmContainer container;
    if (container.Parse(data, size)) {
        if (container.Image().empty() || container.Image().size() > CZxmContainer::kMaxUnpacked)
            abort();
        if (container.KeyId().size() != 3)
            abort();
    }
    return 0;
}
