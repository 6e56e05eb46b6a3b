#include "analysis/hugepages.h"

#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace {

constexpr size_t HugePage = size_t(2) << 20;

} // namespace

void* allocateLargeMemory(size_t bytes)
{
    if (bytes < HugePage) {
        return ::operator new(bytes);
    }
    const size_t rounded = (bytes + HugePage - 1) / HugePage * HugePage;
    void* memory = std::aligned_alloc(HugePage, rounded);
    if (!memory) {
        throw std::bad_alloc();
    }
    ::madvise(memory, rounded, MADV_HUGEPAGE); // advice: without it, small pages serve
    return memory;
}

void freeLargeMemory(void* memory, size_t bytes)
{
    if (bytes < HugePage) {
        ::operator delete(memory);
    } else {
        std::free(memory);
    }
}
