#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

// Makes the guards of a block writable for a test that damages them on purpose.
void open_guards(void* p, std::size_t size) {
    UNPOISON(bytes(p) - 32, size + 7 + 64);
}

TEST(TrackedAllocation, LayoutOfHeadGapAndTail) {
    void* p = mm7_malloc(13);
    ASSERT_NE(p, nullptr);
    open_guards(p, 13);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
    mm7_mem_head* head = mm7_mem_head_of(p);
    EXPECT_EQ(head->magic, MM7_MEM_MAGIC);
    EXPECT_EQ(head->size, 13u);
    EXPECT_STREQ(head->file, __FILE__);
    for (int i = 13; i < 16; ++i) {
        EXPECT_EQ(bytes(p)[i], 0xA5) << i;
    }
    EXPECT_EQ(std::memcmp(bytes(p) + 16, head, 32), 0);  // the tail, 16 bytes after the start
    mm7_free(p);

    void* q = mm7_malloc(16);
    open_guards(q, 16);
    EXPECT_EQ(std::memcmp(bytes(q) + 16, mm7_mem_head_of(q), 32), 0);  // no gap
    mm7_free(q);
}

TEST(TrackedAllocation, CallocZeroesAndIntactBlocksPassTheCheck) {
    log_capture log;
    auto* p = static_cast<unsigned char*>(mm7_calloc(1, 40));
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(p[i], 0);
    }
    std::memset(p, 0x5A, 40);
    mm7_free(p);
    mm7_free(nullptr);
    EXPECT_EQ(log.text(), "");
}

TEST(TrackedAllocation, OneBytePastTheAreaIsReportedAsGapDamage) {
    log_capture log;
    void* p = mm7_malloc(13);
    open_guards(p, 13);
    bytes(p)[13] = 0;
    mm7_free(p);  // reported and deliberately not released
    EXPECT_TRUE(log.contains(std::string(__FILE__) + ": gap2 corrupted\n\n"));
    EXPECT_TRUE(log.contains("_mm7_free: " __FILE__));
}

TEST(TrackedAllocation, DamagedTailMagicNamesTheCodeItem) {
    log_capture log;
    void* p = mm7_malloc(16);
    open_guards(p, 16);
    std::memset(bytes(p) + 16, 0, 8);
    mm7_free(p);
    std::string text = log.text();
    EXPECT_NE(text.find("check_mem: tail corrupted: code aaaa5555!=0"), std::string::npos) << text;
    EXPECT_NE(text.find("(size=16))"), std::string::npos) << text;
}

TEST(TrackedAllocation, DamagedHeadIsReportedAndBlockNotReleased) {
    log_capture log;
    void* p = mm7_malloc(24);
    open_guards(p, 24);
    mm7_mem_head_of(p)->magic = 0x12345678;
    mm7_free(p);
    EXPECT_TRUE(log.contains("check_mem: head corrupted: 12345678 != aaaa5555"));
}

TEST(TrackedAllocation, ShrinkKeepsPointerAndGrowCopiesWithNewPlace) {
    log_capture log;
    auto* p = static_cast<char*>(mm7_malloc(100));
    std::memcpy(p, "0123456789", 10);
    char* same = static_cast<char*>(mm7_realloc(p, 10));
    EXPECT_EQ(same, p);
    open_guards(same, 10);
    EXPECT_EQ(mm7_mem_head_of(same)->size, 10u);
    const unsigned line = __LINE__ + 1;
    char* grown = static_cast<char*>(_mm7_realloc(same, 64, "grower.cpp", line));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(std::memcmp(grown, "0123456789", 10), 0);
    open_guards(grown, 64);
    EXPECT_STREQ(mm7_mem_head_of(grown)->file, "grower.cpp");
    EXPECT_EQ(mm7_mem_head_of(grown)->line, line);
    mm7_free(grown);
    EXPECT_EQ(log.text(), "");
}

TEST(TrackedAllocation, ReallocOfNullAllocatesAndToZeroReleases) {
    void* p = mm7_realloc(nullptr, 20);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(mm7_realloc(p, 0), nullptr);
}

TEST(TrackedAllocation, ReallocOfDamagedBlockFailsAndLeavesIt) {
    log_capture log;
    void* p = mm7_malloc(13);
    open_guards(p, 13);
    bytes(p)[14] = 1;
    EXPECT_EQ(mm7_realloc(p, 50), nullptr);
    EXPECT_TRUE(log.contains("_mm7_realloc: " __FILE__));
    mm7_free(p);  // still the caller's; damaged, so it stays allocated
}

TEST(TrackedAllocation, StrdupAndAsprintf) {
    char* empty = mm7_strdup("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    open_guards(empty, 1);
    EXPECT_EQ(mm7_mem_head_of(empty)->size, 1u);
    mm7_free(empty);
    EXPECT_EQ(mm7_strdup(nullptr), nullptr);

    char* text = nullptr;
    EXPECT_EQ(mm7_asprintf(&text, "%s-%d", "id", 42), 5);
    EXPECT_STREQ(text, "id-42");
    open_guards(text, 6);
    EXPECT_EQ(mm7_mem_head_of(text)->size, 6u);
    mm7_free(text);
    EXPECT_EQ(_mm7_asprintf(nullptr, "f", 1, "x"), -1);
}

TEST(TrackedAllocation, StandardContainersGoThroughTheLayer) {
    auto v = std::make_unique<std::vector<int>>(5, 7);
    mm7_mem_head* head = mm7_mem_head_of(v.get());
    UNPOISON(head, 32);
    EXPECT_EQ(head->magic, MM7_MEM_MAGIC);
    EXPECT_STREQ(head->file, "operator new");
}

}  // namespace
