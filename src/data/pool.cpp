#include "data/pool.hpp"

#include <cstdlib>
#include <map>
#include <mutex>

namespace korvane {

namespace {

// Under AddressSanitizer a block goes straight back to the system allocator
// when freed, so that the sanitizer sees it freed: a pooled block would stay
// addressable, and a use after free of a large column would read the next
// message's data instead of failing. g++ defines __SANITIZE_ADDRESS__; clang
// reports the sanitizer through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif
#else
constexpr bool kPooled = true;
#endif

// Every block starts with a header that records its capacity, so that a block
// handed out for a smaller request is put back whole.
struct alignas(std::max_align_t) Header {
    std::size_t capacity;
};

struct Pool {
    std::mutex mutex;
    std::multimap<std::size_t, Header*> free;  // by capacity
    std::size_t free_bytes = 0;
};

// Never destroyed: blocks may be freed while the process exits.
Pool& pool() {
    static Pool* p = new Pool();
    return *p;
}

// Pooled capacities come in eight steps per power of two, so that a block
// serves requests up to an eighth smaller than it.
std::size_t pooled_capacity(std::size_t bytes) {
    std::size_t step = kPoolMinBytes / 8;
    while (step * 16 <= bytes) step *= 2;
    return (bytes + step - 1) / step * step;
}

}  // namespace

void* pool_allocate(std::size_t bytes) {
    if (kPooled && bytes >= kPoolMinBytes) {
        bytes = pooled_capacity(bytes);
        Pool& p = pool();
        std::lock_guard<std::mutex> lock(p.mutex);
        auto it = p.free.lower_bound(bytes);
        if (it != p.free.end() && it->first <= bytes + bytes / 8) {
            Header* h = it->second;
            p.free_bytes -= h->capacity;
            p.free.erase(it);
            return h + 1;
        }
    }
    void* raw = std::malloc(sizeof(Header) + bytes);
    if (raw == nullptr) throw std::bad_alloc();
    Header* h = static_cast<Header*>(raw);
    h->capacity = bytes;
    return h + 1;
}

void pool_free(void* ptr) noexcept {
    if (ptr == nullptr) return;
    Header* h = static_cast<Header*>(ptr) - 1;
    if (kPooled && h->capacity >= kPoolMinBytes) {
        Pool& p = pool();
        std::lock_guard<std::mutex> lock(p.mutex);
        if (p.free_bytes + h->capacity <= kPoolMaxBytes) {
            try {
                p.free.emplace(h->capacity, h);
                p.free_bytes += h->capacity;
                return;
            } catch (...) {  // no memory for the entry: the block goes back instead
            }
        }
    }
    std::free(h);
}

}  // namespace korvane
