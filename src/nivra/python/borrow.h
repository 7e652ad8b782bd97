#pragma once
// Borrow flags for native objects that Python code can reach from several
// threads. A call that reads an object with the interpreter lock released
// holds a shared borrow for its whole duration; a method that changes the
// object takes an exclusive borrow. A conflicting request raises RuntimeError
// instead of letting the reader see a half-changed object:
//   exclusive while shared    -> "Already borrowed"
//   shared while exclusive    -> "Already mutably borrowed"

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace nivra::python {

class BorrowError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class BorrowFlag {
public:
    // Guard for a shared borrow; several may exist at once.
    class Shared {
    public:
        explicit Shared(const BorrowFlag& flag) : flag_(&flag) {
            std::int64_t cur = flag_->state_.load(std::memory_order_relaxed);
            do {
                if (cur == EXCLUSIVE) throw BorrowError("Already mutably borrowed");
            } while (!flag_->state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
        }
        // Moving hands the borrow over; the moved-from guard releases nothing.
        Shared(Shared&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;
        Shared& operator=(Shared&&) = delete;
        ~Shared() {
            if (flag_ != nullptr) flag_->state_.fetch_sub(1, std::memory_order_release);
        }

    private:
        const BorrowFlag* flag_;
    };

    // Guard for an exclusive borrow.
    class Exclusive {
    public:
        explicit Exclusive(const BorrowFlag& flag) : flag_(&flag) {
            std::int64_t expected = 0;
            if (!flag_->state_.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire)) {
                throw BorrowError(expected == EXCLUSIVE ? "Already mutably borrowed" : "Already borrowed");
            }
        }
        Exclusive(Exclusive&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;
        Exclusive& operator=(Exclusive&&) = delete;
        ~Exclusive() {
            if (flag_ != nullptr) flag_->state_.store(0, std::memory_order_release);
        }

    private:
        const BorrowFlag* flag_;
    };

private:
    static constexpr std::int64_t EXCLUSIVE = -1;
    // 0: free; n > 0: n shared borrows; EXCLUSIVE: one exclusive borrow.
    mutable std::atomic<std::int64_t> state_{0};
};

}  // namespace nivra::python
