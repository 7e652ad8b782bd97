#include "nivra/core/aligned.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "nivra/core/error.h"

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

Complex* allocate_zeroed(std::size_t len, std::size_t& mapped_bytes) {
    mapped_bytes = 0;
    if (len == 0) {
        return nullptr;
    }
    const std::size_t bytes = mul_size_or_throw(len, sizeof(Complex));
    if (maps_large_buffer(bytes)) {
        return static_cast<Complex*>(map_zeroed_pages(bytes, mapped_bytes));
    }
    // aligned_alloc wants a multiple of the alignment.
    const std::size_t rounded = round_up_or_throw(bytes, AlignedBuf::ALIGNMENT);
    void* p = std::aligned_alloc(AlignedBuf::ALIGNMENT, rounded);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    std::memset(p, 0, rounded);
    return static_cast<Complex*>(p);
}

}  // namespace

void AlignedBuf::Free::operator()(Complex* p) const noexcept {
    if (mapped_bytes != 0) {
        unmap_pages(p, mapped_bytes);
    } else {
        std::free(p);
    }
}

AlignedBuf::AlignedBuf(std::size_t len) : len_(len) {
    std::size_t mapped = 0;
    Complex* p = allocate_zeroed(len, mapped);
    data_ = std::unique_ptr<Complex[], Free>(p, Free{mapped});
}

AlignedBuf::AlignedBuf(const AlignedBuf& other) : AlignedBuf(other.len_) {
    if (len_ != 0) {
        std::memcpy(data_.get(), other.data_.get(), len_ * sizeof(Complex));
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
