// One input through the entry walker of the MM7 client, as a whole PDU and as a bare multipart
// body.  Shared by the libFuzzer target and by the corpus replay of the regular test build.
#pragma once

#include <cstddef>
#include <cstdint>

// Returns 0; a broken invariant aborts (and sanitizers report reads past the input).
int delivery_fuzz_one(const std::uint8_t* data, std::size_t size);
