#pragma once
// AlignedBuf: an owned, zero-filled buffer of Complex whose start is 64-byte
// aligned (one cache line, and the widest vector register the kernels use).
//
// Buffers of MAPPED_MIN_BYTES and more (state vectors from 18 qubits) are
// mapped straight from the kernel, 2 MiB aligned and advised for transparent
// huge pages: their zero pages are free until touched, the first pass of a
// parallel kernel faults them in on every thread at once, and a huge page
// costs one fault where 4 KiB pages cost 512. Smaller buffers come from the
// C heap and are zeroed there. (The C heap would hand a large block back to
// the kernel on free and fault it in again page by page on the next run, or
// keep it only after the first run: a first call much slower than the rest.)

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

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

class AlignedBuf {
public:
    static constexpr std::size_t ALIGNMENT = 64;
    static constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
    static constexpr std::size_t MAPPED_MIN_BYTES = std::size_t{4} << 20;

    AlignedBuf() = default;
    // Allocates `len` elements, zero-filled. Throws std::bad_alloc (MemoryError
    // in Python) when the allocation fails or the byte size overflows.
    explicit AlignedBuf(std::size_t len);
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
    // Returns the buffer to where it came from: the mapping of `mapped_bytes`
    // bytes, or the C heap when that is 0. (No member initialiser: the
    // deleter must be default-constructible inside this class; unique_ptr
    // value-initialises it to 0.)
    struct Free {
        std::size_t mapped_bytes;
        void operator()(Complex* p) const noexcept;
    };
    std::unique_ptr<Complex[], Free> data_;
    std::size_t len_ = 0;
};

// A std::vector allocator for the large scratch arrays beside a state (the
// sampling tables): blocks of AlignedBuf::MAPPED_MIN_BYTES and more are
// mapped as AlignedBuf maps its large buffers, smaller ones come from the C
// heap. Stateless; deallocate is told the size allocate was given.
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
    friend bool operator==(const LargeAllocator&, const LargeAllocator<U>&) noexcept {
        return true;
    }

private:
    static std::size_t mapped_size(std::size_t bytes) {
        return (bytes + AlignedBuf::HUGE_PAGE - 1) & ~(AlignedBuf::HUGE_PAGE - 1);
    }
};

}  // namespace nivra
