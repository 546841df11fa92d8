// Tracked allocation.
//
// Every heap block of the daemon carries a 32-byte head {magic, file, line, size}, the caller's
// area, a 0xA5 gap up to the next 8-byte boundary and a copy of the head as its tail.  A release
// or resize checks the guards and logs where a damaged block came from.
//
// How C++ code reaches this layer: the global operator new/delete are replaced (memory.cpp), so
// every block that standard containers, smart pointers and records of the daemon allocate goes
// through _mm7_malloc/_mm7_free and is checked on release.  Such blocks are recorded with the
// file "operator new" and line 0, since operator new cannot see its caller; the releasing call
// site is what a damage report names for them.  Code that wants its own place recorded (raw
// byte blocks handed between modules) calls the mm7_malloc()/mm7_free() macros, which supply
// __FILE__ and __LINE__.  We chose the replaced allocator over allocator-aware containers because
// it covers every block without changing a single container type, and it keeps the standard
// library's own types usable at module boundaries.
//
// A block whose check fails is never handed back to the system allocator: it is logged and left
// allocated, so a damaged heap cannot be corrupted further by free().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

inline constexpr std::uint32_t MM7_MEM_MAGIC = 0xAAAA5555u;

struct mm7_mem_head {
    std::uint32_t magic;
    const char* file;
    std::uint32_t line;
    std::uint64_t size;
};
static_assert(sizeof(mm7_mem_head) == 32, "head record must keep 16-byte alignment");

void* _mm7_malloc(std::size_t size, const char* file, unsigned line);
void* _mm7_calloc(std::size_t count, std::size_t size, const char* file, unsigned line);
void* _mm7_realloc(void* ptr, std::size_t size, const char* file, unsigned line);
void _mm7_free(void* ptr, const char* file, unsigned line);
char* _mm7_strdup(const char* s, const char* file, unsigned line);
int _mm7_asprintf(char** out, const char* file, unsigned line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Verifies one block; 0 when intact, -1 when damaged (after logging what is wrong).
int check_mem(mm7_mem_head* head);

// The head of a caller's pointer.
mm7_mem_head* mm7_mem_head_of(void* ptr);

#define mm7_malloc(size) _mm7_malloc((size), __FILE__, __LINE__)
#define mm7_calloc(count, size) _mm7_calloc((count), (size), __FILE__, __LINE__)
#define mm7_realloc(ptr, size) _mm7_realloc((ptr), (size), __FILE__, __LINE__)
#define mm7_free(ptr) _mm7_free((ptr), __FILE__, __LINE__)
#define mm7_strdup(s) _mm7_strdup((s), __FILE__, __LINE__)
#define mm7_asprintf(out, ...) _mm7_asprintf((out), __FILE__, __LINE__, __VA_ARGS__)

// Owner of a raw tracked block (RAII over mm7_malloc/mm7_free).
struct mm7_block_deleter {
    void operator()(void* p) const noexcept { _mm7_free(p, __FILE__, __LINE__); }
};
template <class T>
using mm7_unique_block = std::unique_ptr<T, mm7_block_deleter>;
