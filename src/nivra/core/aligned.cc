#include "nivra/core/aligned.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "nivra/core/error.h"
#include "nivra/core/parallel.h"

namespace nivra {

namespace {

// `bytes` rounded up to a multiple of `unit` (a power of two); throws
// std::bad_alloc on overflow.
std::size_t round_up_or_throw(std::size_t bytes, std::size_t unit) {
    std::size_t rounded = 0;
    if (!checked_add(bytes, unit - 1, rounded)) {
        throw std::bad_alloc();
    }
    return rounded & ~(unit - 1);
}

}  // namespace

// Maps one huge page more than asked, then gives back the slack on both sides
// so that every 2 MiB of the buffer can be one huge page.
void* map_zeroed_pages(std::size_t requested, std::size_t& mapped) {
    const std::size_t bytes = round_up_or_throw(requested, AlignedBuf::HUGE_PAGE);
    constexpr std::size_t huge = AlignedBuf::HUGE_PAGE;
    std::size_t with_slack = 0;
    if (!checked_add(bytes, huge, with_slack)) {
        throw std::bad_alloc();
    }
    void* raw = ::mmap(nullptr, with_slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const auto base = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (base + huge - 1) & ~std::uintptr_t{huge - 1};
    const std::size_t head = start - base;
    const std::size_t tail = huge - head;
    if (head != 0) {
        ::munmap(raw, head);
    }
    if (tail != 0) {
        ::munmap(reinterpret_cast<void*>(start + bytes), tail);
    }
    // Only advice: without transparent huge pages the buffer still works,
    // with 4 KiB pages.
    (void)::madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);
    mapped = bytes;
    return reinterpret_cast<void*>(start);
}

void unmap_pages(void* p, std::size_t mapped) noexcept { ::munmap(p, mapped); }

namespace {

// Runs body(offset, length) over [0, bytes): on the pool in huge-page chunks
// from MAPPED_MIN_BYTES on, else once on the calling thread.
template <class Body>
void by_huge_pages(std::size_t bytes, Body&& body) {
    constexpr std::size_t huge = AlignedBuf::HUGE_PAGE;
    parallel_for_chunks_if(bytes >= AlignedBuf::MAPPED_MIN_BYTES, (bytes + huge - 1) / huge, 1,
                           [&](std::size_t c0, std::size_t c1) {
                               const std::size_t begin = c0 * huge;
                               body(begin, std::min(bytes, c1 * huge) - begin);
                           });
}

}  // namespace

void prefault_pages(void* p, std::size_t bytes) {
    auto* base = static_cast<unsigned char*>(p);
    by_huge_pages(bytes, [&](std::size_t offset, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
        // Linux 5.14 and later fault a range in without touching it.
        if (::madvise(base + offset, length, MADV_POPULATE_WRITE) == 0) return;
#endif
        // An atomic or with 0 is a write access that leaves the byte as it was.
        constexpr std::size_t page = 4096;
        for (std::size_t i = offset; i < offset + length; i += page) {
            __atomic_fetch_or(base + i, static_cast<unsigned char>(0), __ATOMIC_RELAXED);
        }
    });
}

void copy_bytes(void* dst, const void* src, std::size_t bytes) {
    auto* to = static_cast<unsigned char*>(dst);
    const auto* from = static_cast<const unsigned char*>(src);
    by_huge_pages(bytes,
                  [&](std::size_t offset, std::size_t length) { std::memcpy(to + offset, from + offset, length); });
}

bool maps_large_buffer(std::size_t bytes) {
    if (bytes < AlignedBuf::MAPPED_MIN_BYTES) return false;
    // "always [madvise] never": the bracketed word is the mode in force.
    static const bool huge_pages = [] {
        std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
        std::string line;
        if (!std::getline(in, line)) return false;
        return line.find("[always]") != std::string::npos || line.find("[madvise]") != std::string::npos;
    }();
    return huge_pages;
}

namespace {

// `len` elements, zero-filled when `zeroed`: mapped (the kernel's zeroed
// pages, faulted in now when they will be read as zeros) or from the C heap,
// whose block is returned in `heap_block` (nullptr for a mapping).
Complex* allocate(std::size_t len, bool zeroed, std::size_t& mapped_bytes, void*& heap_block) {
    mapped_bytes = 0;
    heap_block = nullptr;
    if (len == 0) {
        return nullptr;
    }
    const std::size_t bytes = mul_size_or_throw(len, sizeof(Complex));
    if (maps_large_buffer(bytes)) {
        void* p = map_zeroed_pages(bytes, mapped_bytes);
        if (zeroed) prefault_pages(p, bytes);
        return static_cast<Complex*>(p);
    }
    constexpr std::size_t alignment = AlignedBuf::ALIGNMENT;
    if (!zeroed) {
        // aligned_alloc wants a multiple of the alignment.
        void* p = std::aligned_alloc(alignment, round_up_or_throw(bytes, alignment));
        if (p == nullptr) throw std::bad_alloc();
        heap_block = p;
        return static_cast<Complex*>(p);
    }
    // calloc knows when its block is fresh from the kernel and zero already;
    // the slack lets the buffer start on the next 64-byte boundary.
    std::size_t padded = 0;
    if (!checked_add(bytes, alignment, padded)) throw std::bad_alloc();
    void* block = std::calloc(padded, 1);
    if (block == nullptr) throw std::bad_alloc();
    heap_block = block;
    const auto start = (reinterpret_cast<std::uintptr_t>(block) + alignment - 1) & ~std::uintptr_t{alignment - 1};
    return reinterpret_cast<Complex*>(start);
}

}  // namespace

void AlignedBuf::Free::operator()(Complex* p) const noexcept {
    if (mapped_bytes != 0) {
        unmap_pages(p, mapped_bytes);
    } else {
        std::free(heap_block);
    }
}

AlignedBuf::AlignedBuf(std::size_t len, bool zeroed) : len_(len) {
    std::size_t mapped = 0;
    void* heap_block = nullptr;
    Complex* p = allocate(len, zeroed, mapped, heap_block);
    data_ = std::unique_ptr<Complex[], Free>(p, Free{mapped, heap_block});
}

AlignedBuf::AlignedBuf(std::size_t len) : AlignedBuf(len, true) {}

AlignedBuf AlignedBuf::uninitialized(std::size_t len) { return AlignedBuf(len, false); }

AlignedBuf::AlignedBuf(const AlignedBuf& other) : AlignedBuf(other.len_, false) {
    if (len_ != 0) {
        copy_bytes(data_.get(), other.data_.get(), len_ * sizeof(Complex));
    }
}

AlignedBuf& AlignedBuf::operator=(const AlignedBuf& other) {
    if (this != &other) {
        AlignedBuf copy(other);
        *this = std::move(copy);
    }
    return *this;
}

}  // namespace nivra
