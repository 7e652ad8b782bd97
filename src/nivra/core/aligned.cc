#include "nivra/core/aligned.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "nivra/core/error.h"

namespace nivra {

namespace {

Complex* allocate_zeroed(std::size_t len) {
    if (len == 0) {
        return nullptr;
    }
    std::size_t bytes = mul_size_or_throw(len, sizeof(Complex));
    std::size_t rounded = 0;
    // aligned_alloc wants a multiple of the alignment.
    if (!checked_add(bytes, AlignedBuf::ALIGNMENT - 1, rounded)) {
        throw std::bad_alloc();
    }
    rounded -= rounded % AlignedBuf::ALIGNMENT;
    void* p = std::aligned_alloc(AlignedBuf::ALIGNMENT, rounded);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    std::memset(p, 0, rounded);
    return static_cast<Complex*>(p);
}

}  // namespace

void AlignedBuf::Free::operator()(Complex* p) const noexcept { std::free(p); }

AlignedBuf::AlignedBuf(std::size_t len) : data_(allocate_zeroed(len)), len_(len) {}

AlignedBuf::AlignedBuf(const AlignedBuf& other) : data_(allocate_zeroed(other.len_)), len_(other.len_) {
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
