// Memory for the solvers' large work arrays.
//
// A solve allocates its work arrays (level sums, cells, the Schur complement, the factor)
// afresh on every call, and the first write to each 4 KiB page of fresh memory costs a page
// fault: about a microsecond on the machines we measure, so 75,000 faults (290 MiB) took
// 8-15% of a solve at 1e6 and 1e7 rows. Arrays of 2 MiB or more are therefore mapped on
// their own, 2 MiB-aligned, with transparent huge pages asked for (madvise): one fault per
// 2 MiB. Where the system does not grant huge pages the mapping behaves as malloc's own
// large allocations do. Smaller arrays come from operator new as before.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace quarnet {

constexpr std::size_t work_page = std::size_t{2} << 20;

void *map_work(std::size_t bytes);               // throws std::bad_alloc
void unmap_work(void *p, std::size_t bytes) noexcept;

template <class T>
struct WorkAllocator {
    using value_type = T;
    WorkAllocator() noexcept = default;
    template <class U>
    WorkAllocator(const WorkAllocator<U> &) noexcept {}
    T *allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < work_page) return static_cast<T *>(::operator new(bytes));
        return static_cast<T *>(map_work(bytes));
    }
    void deallocate(T *p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < work_page)
            ::operator delete(p);
        else
            unmap_work(p, bytes);
    }
};

template <class T, class U>
bool operator==(const WorkAllocator<T> &, const WorkAllocator<U> &) noexcept {
    return true;
}
template <class T, class U>
bool operator!=(const WorkAllocator<T> &, const WorkAllocator<U> &) noexcept {
    return false;
}

template <class T>
using work_vector = std::vector<T, WorkAllocator<T>>;

}  // namespace quarnet
