#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/memory.h"
#include "support/log_capture.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

unsigned char* bytes(void* p) {
    return static_cast<unsigned char*>(p);
}

// The head of a block, with its guards made writable for a test that damages them on purpose.
mm7_mem_head* open_guards(void* p, std::size_t size) {
    UNPOISON(bytes(p) - 32, size + 7 + 64);
    return mm7_mem_head_of(p);
}

TEST(TrackedAllocation, AlignedBlocksAndReallocationNamesItsCaller) {
    log_capture log;
    void* p = mm7_malloc(13);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
    mm7_free(p);
    // Shrinking keeps the pointer; growing copies to a new place that names its caller.
    auto* q = static_cast<char*>(mm7_malloc(100));
    std::memcpy(q, "0123456789", 10);
    EXPECT_EQ(mm7_realloc(q, 10), q);
    char* grown = static_cast<char*>(_mm7_realloc(q, 64, "grower.cpp", 7));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(std::memcmp(grown, "0123456789", 10), 0);
    EXPECT_STREQ(open_guards(grown, 64)->file, "grower.cpp");
    EXPECT_EQ(mm7_realloc(grown, 0), nullptr);  // releases
    EXPECT_EQ(log.text(), "");
}

TEST(TrackedAllocation, DamageIsReportedAndTheBlockNotReleased) {
    struct damage_case {
        std::size_t size;
        std::function<void(void*)> damage;
        std::vector<std::string> lines;
    };
    const damage_case cases[] = {
        {13,
         [](void* p) { bytes(p)[13] = 0; },  // one byte past the area
         {std::string(__FILE__) + ": gap2 corrupted\n\n", "_mm7_free: " __FILE__}},
        {16,
         [](void* p) { std::memset(bytes(p) + 16, 0, 8); },
         {"check_mem: tail corrupted: code aaaa5555!=0", "(size=16))"}},
        {24,
         [](void* p) { mm7_mem_head_of(p)->magic = 0x12345678; },
         {"check_mem: head corrupted: 12345678 != aaaa5555"}},
    };
    for (const damage_case& c : cases) {
        log_capture log;
        void* p = mm7_malloc(c.size);
        open_guards(p, c.size);
        c.damage(p);
        mm7_free(p);  // reported and deliberately not released
        for (const std::string& line : c.lines) {
            EXPECT_TRUE(log.contains(line)) << line << "\n" << log.text();
        }
    }
    // A damaged block cannot be reallocated; it stays the caller's.
    log_capture log;
    void* p = mm7_malloc(13);
    open_guards(p, 13);
    bytes(p)[14] = 1;
    EXPECT_EQ(mm7_realloc(p, 50), nullptr);
    EXPECT_TRUE(log.contains("_mm7_realloc: " __FILE__));
    mm7_free(p);
}

}  // namespace
