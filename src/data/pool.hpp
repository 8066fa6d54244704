// Memory for decoded columns. A decode writes megabytes of fresh columns,
// which the caller usually drops before decoding the next message: handing
// that memory back to the operating system and taking it again costs a page
// fault and a zero fill per page, more than the decoding itself. Large blocks
// are therefore kept in a pool (bounded in total) and handed out again.
// Column entries are left uninitialised when a column is resized: the decoder
// writes every one of them.
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace korvane {

// Blocks of at least kPoolMinBytes go through the pool (except under
// AddressSanitizer, which must see every block freed), which keeps at most
// kPoolMaxBytes of free blocks.
inline constexpr std::size_t kPoolMinBytes = std::size_t{1} << 16;
inline constexpr std::size_t kPoolMaxBytes = std::size_t{1} << 26;

void* pool_allocate(std::size_t bytes);
void pool_free(void* p) noexcept;

template <class T>
struct PoolAllocator {
    using value_type = T;

    PoolAllocator() noexcept = default;
    template <class U>
    PoolAllocator(const PoolAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(pool_allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { pool_free(p); }

    // Default construction leaves trivial entries uninitialised.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const PoolAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using PoolVector = std::vector<T, PoolAllocator<T>>;

}  // namespace korvane
