#include "core/memory.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#define MM7_KEEP_DAMAGED(head) __lsan_ignore_object(head)
#define MM7_POISON(addr, size) ASAN_POISON_MEMORY_REGION((addr), (size))
#define MM7_UNPOISON(addr, size) ASAN_UNPOISON_MEMORY_REGION((addr), (size))
#else
#define MM7_POISON(addr, size) ((void)(addr), (void)(size))
#define MM7_UNPOISON(addr, size) ((void)(addr), (void)(size))
#define MM7_KEEP_DAMAGED(head) ((void)(head))
#endif

namespace {

constexpr std::size_t kHeadSize = sizeof(mm7_mem_head);
constexpr unsigned char kGapByte = 0xA5;

std::size_t gap_of(std::uint64_t size) {
    return static_cast<std::size_t>((-size) & 7u);
}

unsigned char* area_of(mm7_mem_head* head) {
    return reinterpret_cast<unsigned char*>(head) + kHeadSize;
}

// Guards are poisoned for AddressSanitizer so that a write into them is reported at once, not
// only when the block is checked.
void poison_guards(mm7_mem_head* head) {
    unsigned char* area = area_of(head);
    std::size_t size = static_cast<std::size_t>(head->size);
    MM7_POISON(head, kHeadSize);
    MM7_POISON(area + size, gap_of(size) + kHeadSize);
}

void unpoison_guards(mm7_mem_head* head) {
    MM7_UNPOISON(head, kHeadSize);
    unsigned char* area = area_of(head);
    std::size_t size = static_cast<std::size_t>(head->size);
    MM7_UNPOISON(area + size, gap_of(size) + kHeadSize);
}

// Writes gap and tail after an area of head->size bytes.
void write_guards(mm7_mem_head* head) {
    unsigned char* area = area_of(head);
    std::size_t size = static_cast<std::size_t>(head->size);
    std::size_t gap = gap_of(size);
    std::memset(area + size, kGapByte, gap);
    std::memcpy(area + size + gap, head, kHeadSize);
}

void* block_alloc(std::size_t size, bool zero, const char* file, unsigned line) {
    if (size > SIZE_MAX - 64 - 8) {
        return nullptr;
    }
    std::size_t gap = gap_of(size);
    auto* head = static_cast<mm7_mem_head*>(std::malloc(size + gap + 2 * kHeadSize));
    if (head == nullptr) {
        return nullptr;
    }
    head->magic = MM7_MEM_MAGIC;
    head->file = file;
    head->line = line;
    head->size = size;
    write_guards(head);
    if (zero) {
        std::memset(area_of(head), 0, size);
    }
    poison_guards(head);
    return area_of(head);
}

// The head as it is stored, read without trusting the recorded size (for poisoning).
mm7_mem_head* checked_head(void* ptr) {
    mm7_mem_head* head = mm7_mem_head_of(ptr);
    MM7_UNPOISON(head, kHeadSize);
    if (head->magic == MM7_MEM_MAGIC) {
        unpoison_guards(head);
    }
    return head;
}

}  // namespace

mm7_mem_head* mm7_mem_head_of(void* ptr) {
    auto p = reinterpret_cast<std::uintptr_t>(ptr) & ~static_cast<std::uintptr_t>(15);
    return reinterpret_cast<mm7_mem_head*>(p - kHeadSize);
}

int check_mem(mm7_mem_head* head) {
    if (head->magic != MM7_MEM_MAGIC) {
        log_error("%s: head corrupted: %x != %x\n", "check_mem", head->magic, MM7_MEM_MAGIC);
        return -1;
    }
    int result = 0;
    unsigned char* end = area_of(head) + head->size;
    std::size_t gap = gap_of(head->size);
    for (std::size_t i = 0; i < gap; ++i) {
        if (end[i] != kGapByte) {
            log_error("%s: gap2 corrupted\n", head->file);
            result = -1;
            break;
        }
    }
    mm7_mem_head tail;
    std::memcpy(&tail, end + gap, kHeadSize);
    if (tail.magic == head->magic && tail.file == head->file && tail.line == head->line &&
        tail.size == head->size) {
        return result;
    }
    char message[1024];
    int n = std::snprintf(message, sizeof message, "%s: tail corrupted:", "check_mem");
    auto append = [&](const char* fmt, auto... args) {
        if (n >= 0 && static_cast<std::size_t>(n) < sizeof message) {
            n += std::snprintf(message + n, sizeof message - n, fmt, args...);
        }
    };
    if (tail.magic != head->magic) {
        append(" code %x!=%x", head->magic, tail.magic);
    }
    if (tail.file != head->file) {
        append(" name %p!=%p", static_cast<const void*>(head->file),
               static_cast<const void*>(tail.file));
    }
    if (tail.line != head->line) {
        append(" line %x!=%x", head->line, tail.line);
    }
    if (tail.size != head->size) {
        append(" size %zx!=%zx", static_cast<std::size_t>(head->size),
               static_cast<std::size_t>(tail.size));
    }
    append(" (%s:%d (size=%zd))", head->file, static_cast<int>(head->line),
           static_cast<std::size_t>(head->size));
    log_error("%s\n", message);
    return -1;
}

void* _mm7_malloc(std::size_t size, const char* file, unsigned line) {
    return block_alloc(size, false, file, line);
}

void* _mm7_calloc(std::size_t count, std::size_t size, const char* file, unsigned line) {
    if (size != 0 && count > SIZE_MAX / size) {
        return nullptr;
    }
    return block_alloc(count * size, true, file, line);
}

void _mm7_free(void* ptr, const char* file, unsigned line) {
    if (ptr == nullptr) {
        return;
    }
    mm7_mem_head* head = checked_head(ptr);
    if (check_mem(head) == 0) {
        std::free(head);
        return;
    }
    // Damaged: reported, and deliberately left allocated (not a leak to report).
    MM7_KEEP_DAMAGED(head);
    log_error("%s: %s:%d", "_mm7_free", file, static_cast<int>(line));
}

void* _mm7_realloc(void* ptr, std::size_t size, const char* file, unsigned line) {
    if (ptr == nullptr) {
        return _mm7_malloc(size, file, line);
    }
    mm7_mem_head* head = checked_head(ptr);
    if (check_mem(head) != 0) {
        log_error("%s: %s:%d\n", "_mm7_realloc", file, static_cast<int>(line));
        return nullptr;
    }
    if (size == 0) {
        std::free(head);
        return nullptr;
    }
    if (size > head->size) {
        void* fresh = _mm7_malloc(size, file, line);
        if (fresh == nullptr) {
            poison_guards(head);
            return nullptr;
        }
        std::memcpy(fresh, ptr, static_cast<std::size_t>(head->size));
        std::free(head);
        return fresh;
    }
    head->size = size;
    write_guards(head);
    poison_guards(head);
    return ptr;
}

char* _mm7_strdup(const char* s, const char* file, unsigned line) {
    if (s == nullptr) {
        return nullptr;
    }
    std::size_t n = std::strlen(s) + 1;
    auto* copy = static_cast<char*>(_mm7_malloc(n, file, line));
    if (copy != nullptr) {
        std::memcpy(copy, s, n);
    }
    return copy;
}

int _mm7_asprintf(char** out, const char* file, unsigned line, const char* format, ...) {
    if (out == nullptr) {
        return -1;
    }
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        va_end(args);
        *out = nullptr;
        return -1;
    }
    auto* text = static_cast<char*>(_mm7_malloc(static_cast<std::size_t>(length) + 1, file, line));
    if (text == nullptr) {
        va_end(args);
        *out = nullptr;
        return -1;
    }
    std::vsnprintf(text, static_cast<std::size_t>(length) + 1, format, args);
    va_end(args);
    *out = text;
    return length;
}

// ---- The C++ allocation functions of the whole program go through the tracked layer. ----

namespace {
constexpr const char* kOperatorNew = "operator new";

void* tracked_new(std::size_t size) {
    void* p = _mm7_malloc(size == 0 ? 1 : size, kOperatorNew, 0);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void tracked_delete(void* p) noexcept {
    _mm7_free(p, "operator delete", 0);
}
}  // namespace

void* operator new(std::size_t size) {
    return tracked_new(size);
}
void* operator new[](std::size_t size) {
    return tracked_new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return _mm7_malloc(size == 0 ? 1 : size, kOperatorNew, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return _mm7_malloc(size == 0 ? 1 : size, kOperatorNew, 0);
}
void operator delete(void* p) noexcept {
    tracked_delete(p);
}
void operator delete[](void* p) noexcept {
    tracked_delete(p);
}
void operator delete(void* p, std::size_t) noexcept {
    tracked_delete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    tracked_delete(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    tracked_delete(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    tracked_delete(p);
}
