#pragma once

#include <cstddef>
#include <vector>

// Memory for the run's large arrays (polygon records, sums, a band's counts and spans), in
// huge pages where the system gives them on request: memory new to the process costs a page
// fault every 4 KB otherwise, which on a virtual machine costs more than writing the page.
void* allocateLargeMemory(size_t bytes);
void freeLargeMemory(void* memory, size_t bytes);

template <class T> struct HugePageAllocator {
    using value_type = T;
    HugePageAllocator() = default;
    template <class U> HugePageAllocator(const HugePageAllocator<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(allocateLargeMemory(n * sizeof(T))); }
    void deallocate(T* memory, size_t n) { freeLargeMemory(memory, n * sizeof(T)); }
    template <class U> bool operator==(const HugePageAllocator<U>&) const { return true; }
    template <class U> bool operator!=(const HugePageAllocator<U>&) const { return false; }
};

template <class T> using LargeVector = std::vector<T, HugePageAllocator<T>>;
