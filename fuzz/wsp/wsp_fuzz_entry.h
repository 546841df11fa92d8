// One input through every decoder of the codec, the way the daemon drives them.  Shared by the
// libFuzzer target and by the corpus replay that the regular test build runs.
#pragma once

#include <cstddef>
#include <cstdint>

// Always returns 0; faults show up as sanitizer reports.
int wsp_fuzz_one(const std::uint8_t* data, std::size_t size);
