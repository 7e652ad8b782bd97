#pragma once
// AlignedBuf: an owned, zero-filled buffer of Complex whose start is 64-byte
// aligned (one cache line, and the widest vector register the kernels use).

#include <cstddef>
#include <memory>
#include <span>

#include "nivra/core/complex.h"

namespace nivra {

class AlignedBuf {
public:
    static constexpr std::size_t ALIGNMENT = 64;

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
    struct Free {
        void operator()(Complex* p) const noexcept;
    };
    std::unique_ptr<Complex[], Free> data_;
    std::size_t len_ = 0;
};

}  // namespace nivra
