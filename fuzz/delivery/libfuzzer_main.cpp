#include <cstddef>
#include <cstdint>

#include "delivery_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return delivery_fuzz_one(data, size);
}
