#pragma once
// AlignedBuf: an owned buffer of Complex whose start is 64-byte aligned (one
// cache line, and the widest vector register the kernels use), zero-filled or,
// for buffers about to be overwritten, left as allocated.
//
// Buffers of MAPPED_MIN_BYTES and more (state vectors from 18 qubits) are
// mapped straight from the kernel, 2 MiB aligned and advised for transparent
// huge pages: the kernel hands them over zeroed, so they are never zeroed
// again, and a huge page costs one fault where 4 KiB pages cost 512. A zeroed
// mapping is faulted in on the pool as it is made, so that the kernel's zeroing
// runs on every thread at once and a first read does not map the shared zero
// page only to fault again on the first write. Smaller buffers come from the C
// heap (calloc when zeroed, which skips the fill for blocks fresh from the
// kernel). (The C heap would hand a large block back to the kernel on free and
// fault it in again page by page on the next run, or keep it only after the
// first run: a first call much slower than the rest.)

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "nivra/core/complex.h"

namespace nivra {

// `bytes` zero-filled bytes mapped on a huge-page boundary, advised for huge
// pages; `bytes` is rounded up to whole huge pages, the rounded size returned
// in `mapped` for unmap_pages. Throws std::bad_alloc when the mapping fails.
void* map_zeroed_pages(std::size_t bytes, std::size_t& mapped);
void unmap_pages(void* p, std::size_t mapped) noexcept;

// Whether a buffer of `bytes` is mapped rather than taken from the C heap: at
// MAPPED_MIN_BYTES and more, and only where transparent huge pages can be had
// (read once per process). Without them a fresh mapping per run would fault
// in 4 KiB pages every time, where the C heap reuses warm memory.
bool maps_large_buffer(std::size_t bytes);

// Faults in the pages of [p, p + bytes) for writing, on the pool in huge-page
// chunks when the range is large; the contents are unchanged. For a fresh
// mapping, so that the kernel zeroes its pages on every thread at once.
void prefault_pages(void* p, std::size_t bytes);

// memcpy of `bytes` bytes, on the pool in huge-page chunks of the destination
// when it is large (each thread faults in the fresh pages it writes).
void copy_bytes(void* dst, const void* src, std::size_t bytes);

class AlignedBuf {
public:
    static constexpr std::size_t ALIGNMENT = 64;
    static constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
    static constexpr std::size_t MAPPED_MIN_BYTES = std::size_t{4} << 20;

    AlignedBuf() = default;
    // Allocates `len` elements, zero-filled. Throws std::bad_alloc (MemoryError
    // in Python) when the allocation fails or the byte size overflows.
    explicit AlignedBuf(std::size_t len);
    // Allocates `len` elements left as allocated (indeterminate from the heap),
    // for a buffer the caller overwrites in full. Throws as AlignedBuf(len).
    static AlignedBuf uninitialized(std::size_t len);
    // A copy written straight into uninitialised memory (copy_bytes).
    AlignedBuf(const AlignedBuf& other);
    AlignedBuf& operator=(const AlignedBuf& other);
    AlignedBuf(AlignedBuf&&) noexcept = default;
    AlignedBuf& operator=(AlignedBuf&&) noexcept = default;

    std::size_t size() const { return len_; }
    Complex* data() { return data_.get(); }
    const Complex* data() const { return data_.get(); }
    Complex& operator[](std::size_t i) { return data_.get()[i]; }
    const Complex& operator[](std::size_t i) const { return data_.get()[i]; }
    std::span<Complex> span() { return {data_.get(), len_}; }
    std::span<const Complex> span() const { return {data_.get(), len_}; }

private:
    AlignedBuf(std::size_t len, bool zeroed);

    // Returns the buffer to where it came from: the mapping of `mapped_bytes`
    // bytes, or else the C heap block that starts at `heap_block` (the buffer
    // is its first 64-byte boundary). (No member initialisers: the deleter
    // must be default-constructible inside this class; unique_ptr
    // value-initialises it.)
    struct Free {
        std::size_t mapped_bytes;
        void* heap_block;
        void operator()(Complex* p) const noexcept;
    };
    std::unique_ptr<Complex[], Free> data_;
    std::size_t len_ = 0;
};

// A std::vector allocator for the large scratch arrays beside a state (the
// sampling tables): blocks of AlignedBuf::MAPPED_MIN_BYTES and more are
// mapped as AlignedBuf maps its large buffers, smaller ones come from the C
// heap. Stateless; deallocate is told the size allocate was given.
//
// Elements that a vector constructs without a value (vector(n), resize(n))
// are default-initialised: for the arithmetic types it holds they are left as
// allocated, zero in a fresh mapping and indeterminate from the heap, since
// these arrays are written in full before they are read (vector(n, 0) still
// fills).
template <class T>
struct LargeAllocator {
    using value_type = T;

    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        if (!maps_large_buffer(n * sizeof(T))) return std::allocator<T>().allocate(n);
        std::size_t mapped = 0;
        return static_cast<T*>(map_zeroed_pages(n * sizeof(T), mapped));
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (!maps_large_buffer(n * sizeof(T))) {
            std::allocator<T>().deallocate(p, n);
            return;
        }
        unmap_pages(p, mapped_size(n * sizeof(T)));
    }

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        std::construct_at(p, std::forward<Args>(args)...);
    }

    template <class U>
    friend bool operator==(const LargeAllocator&, const LargeAllocator<U>&) noexcept {
        return true;
    }

private:
    static std::size_t mapped_size(std::size_t bytes) {
        return (bytes + AlignedBuf::HUGE_PAGE - 1) & ~(AlignedBuf::HUGE_PAGE - 1);
    }
};

// `n` zero elements: a fresh mapping is zero already, so only a block from the
// heap is filled.
template <class T>
std::vector<T, LargeAllocator<T>> zeroed_large_vector(std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::vector<T, LargeAllocator<T>> out(n);
    if (!maps_large_buffer(n * sizeof(T))) std::fill(out.begin(), out.end(), T{});
    return out;
}

}  // namespace nivra
