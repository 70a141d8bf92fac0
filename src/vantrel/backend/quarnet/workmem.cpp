#include "workmem.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace quarnet {

namespace {

// Whole small pages: the kernel backs the array's whole 2 MiB extents with huge pages and its
// tail with small ones, so no array takes more memory than it did from malloc.
constexpr std::size_t small_page = 4096;
std::size_t rounded(std::size_t bytes) { return (bytes + small_page - 1) / small_page * small_page; }

}  // namespace

// Maps one extra huge page's worth and trims the ends, so the array starts on a 2 MiB
// boundary and each of its whole 2 MiB extents can be a huge page.
void *map_work(std::size_t bytes) {
    const std::size_t size = rounded(bytes);
    if (size < bytes) throw std::bad_alloc();
    void *raw = mmap(nullptr, size + work_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (begin + work_page - 1) / work_page * work_page;
    if (aligned > begin) munmap(raw, aligned - begin);
    const std::uintptr_t tail = aligned + size, end = begin + size + work_page;
    if (end > tail) munmap(reinterpret_cast<void *>(tail), end - tail);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
    return reinterpret_cast<void *>(aligned);
}

void unmap_work(void *p, std::size_t bytes) noexcept {
    if (p != nullptr) munmap(p, rounded(bytes));
}

}  // namespace quarnet
