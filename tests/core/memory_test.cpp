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

TEST(TrackedAllocation, LayoutOfHeadGapAndTail) {
    void* p = mm7_malloc(13);
    ASSERT_NE(p, nullptr);
    mm7_mem_head* head = open_guards(p, 13);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
    EXPECT_EQ(head->magic, MM7_MEM_MAGIC);
    EXPECT_EQ(head->size, 13u);
    EXPECT_STREQ(head->file, __FILE__);
    EXPECT_EQ(std::vector<int>(bytes(p) + 13, bytes(p) + 16), std::vector<int>(3, 0xA5));
    EXPECT_EQ(std::memcmp(bytes(p) + 16, head, 32), 0);  // the tail, 16 bytes after the start
    mm7_free(p);
    void* q = mm7_malloc(16);
    EXPECT_EQ(std::memcmp(bytes(q) + 16, open_guards(q, 16), 32), 0);  // no gap
    mm7_free(q);
    // Standard containers go through the layer.
    auto v = std::make_unique<std::vector<int>>(5, 7);
    head = mm7_mem_head_of(v.get());
    UNPOISON(head, 32);
    EXPECT_EQ(head->magic, MM7_MEM_MAGIC);
    EXPECT_STREQ(head->file, "operator new");
}

TEST(TrackedAllocation, IntactBlocksPassTheCheck) {
    log_capture log;
    auto* p = static_cast<unsigned char*>(mm7_calloc(1, 40));
    EXPECT_EQ(std::vector<int>(p, p + 40), std::vector<int>(40, 0));
    std::memset(p, 0x5A, 40);
    mm7_free(p);
    mm7_free(nullptr);
    // Shrinking keeps the pointer; growing copies to a new place that names its caller.
    auto* q = static_cast<char*>(mm7_malloc(100));
    std::memcpy(q, "0123456789", 10);
    char* same = static_cast<char*>(mm7_realloc(q, 10));
    EXPECT_EQ(same, q);
    EXPECT_EQ(open_guards(same, 10)->size, 10u);
    const unsigned line = __LINE__ + 1;
    char* grown = static_cast<char*>(_mm7_realloc(same, 64, "grower.cpp", line));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(std::memcmp(grown, "0123456789", 10), 0);
    EXPECT_STREQ(open_guards(grown, 64)->file, "grower.cpp");
    EXPECT_EQ(mm7_mem_head_of(grown)->line, line);
    mm7_free(grown);
    void* r = mm7_realloc(nullptr, 20);  // allocates
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(mm7_realloc(r, 0), nullptr);  // releases
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

TEST(TrackedAllocation, StrdupAndAsprintf) {
    char* empty = mm7_strdup("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    EXPECT_EQ(open_guards(empty, 1)->size, 1u);
    mm7_free(empty);
    EXPECT_EQ(mm7_strdup(nullptr), nullptr);
    char* text = nullptr;
    EXPECT_EQ(mm7_asprintf(&text, "%s-%d", "id", 42), 5);
    EXPECT_STREQ(text, "id-42");
    EXPECT_EQ(open_guards(text, 6)->size, 6u);
    mm7_free(text);
    EXPECT_EQ(_mm7_asprintf(nullptr, "f", 1, "x"), -1);
}

}  // namespace
