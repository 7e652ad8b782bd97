#pragma once
// How much memory the process may use, and the exception that says what could
// not be allocated.
//
// Large buffers (state vectors, sampling and decoder tables) are compared with
// memory_limit() before they are allocated: on Linux an allocation beyond what
// the container or the machine can back usually succeeds and the process is
// killed later, when the pages are touched. A refused or failed request throws
// AllocationError, which reaches Python as MemoryError with its message:
//
//   allocate_checked(bytes, [&] { return "a " + std::to_string(n) + "-qubit state vector"; },
//                    [&] { return AlignedBuf(len); });
//   // AllocationError "cannot allocate 4.0 GiB for a 28-qubit state vector (1.9 GiB available)"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nivra {

// A failed or refused allocation, with a message naming what it was for and
// its size. A std::bad_alloc, so every handler of allocation failure sees it.
class AllocationError : public std::bad_alloc {
public:
    explicit AllocationError(std::string message)
        : message_(std::make_shared<const std::string>(std::move(message))) {}
    const char* what() const noexcept override { return message_->c_str(); }

private:
    // Shared so that copying the exception cannot throw.
    std::shared_ptr<const std::string> message_;
};

// A byte count that does not fit 64 bits, as saturating_mul gives it.
inline constexpr std::uint64_t SIZE_BEYOND_64_BITS = UINT64_MAX;

// a * b, or SIZE_BEYOND_64_BITS when the product does not fit.
constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    return __builtin_mul_overflow(a, b, &out) ? SIZE_BEYOND_64_BITS : out;
}

// a + b, or SIZE_BEYOND_64_BITS when the sum does not fit.
constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    return __builtin_add_overflow(a, b, &out) ? SIZE_BEYOND_64_BITS : out;
}

// "cannot allocate {bytes} for {what}" ("more than 16777216.0 TiB" for
// SIZE_BEYOND_64_BITS), and " ({limit} available)" when the request was
// refused against the process limit rather than failed. Sizes carry one
// decimal, or as many more as it takes for two different sizes to read
// differently: "4.0 GiB ... (3.9 GiB available)", "4.000 GiB ... (3.998 GiB available)".
std::string allocation_message(std::uint64_t bytes, std::string_view what,
                               std::optional<std::uint64_t> limit = std::nullopt);

// The limits that bound one allocation, in bytes; absent when unknown or unset.
struct MemorySources {
    std::optional<std::uint64_t> physical;       // installed memory
    std::optional<std::uint64_t> cgroup;         // smallest memory limit of the process's cgroup and its ancestors
    std::optional<std::uint64_t> available;      // MemAvailable: what the kernel can hand out without swapping
    std::optional<std::uint64_t> address_space;  // RLIMIT_AS minus the address space in use
    std::optional<std::uint64_t> data;           // RLIMIT_DATA minus the data segment in use

    // The smallest present value; UINT64_MAX when none is.
    std::uint64_t smallest() const;
};

// The bytes one allocation may take now: MemorySources read afresh (the
// available memory and the process's own usage change between calls). Costs a
// few small reads of /proc and /sys, so callers ask only before large buffers.
std::uint64_t memory_limit();

// Requests below this are never compared with memory_limit(): reading the
// limits would cost more than the allocation, and a failure of one still
// throws (allocate_checked turns it into an AllocationError).
inline constexpr std::uint64_t LIMIT_CHECK_MIN_BYTES = std::uint64_t{1} << 24;

// The limit when a request of `bytes` exceeds it (so it must be refused), else nullopt.
std::optional<std::uint64_t> exceeds_memory_limit(std::uint64_t bytes);

// Runs `allocate` for a request of `bytes` described by `what()` (called only on
// failure, e.g. "a 28-qubit state vector"): refused with AllocationError when
// the request exceeds memory_limit(), and a std::bad_alloc thrown by `allocate`
// becomes an AllocationError with the same description.
template <class What, class Allocate>
decltype(auto) allocate_checked(std::uint64_t bytes, What&& what, Allocate&& allocate) {
    if (const std::optional<std::uint64_t> limit = exceeds_memory_limit(bytes)) {
        throw AllocationError(allocation_message(bytes, what(), limit));
    }
    try {
        return allocate();
    } catch (const AllocationError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw AllocationError(allocation_message(bytes, what()));
    }
}

// Gives `items` room for at least `count` elements (exactly `count` when it
// must grow), refused or failed like allocate_checked with the description
// what(count); nothing changes on an error.
template <class T, class What>
void reserve_checked(std::vector<T>& items, std::size_t count, What&& what) {
    if (count <= items.capacity()) return;
    const std::uint64_t bytes = count > items.max_size() ? SIZE_BEYOND_64_BITS : saturating_mul(count, sizeof(T));
    if (bytes == SIZE_BEYOND_64_BITS) throw AllocationError(allocation_message(bytes, what(count)));
    allocate_checked(
        bytes, [&] { return what(count); }, [&] { items.reserve(count); });
}

// reserve_one_more's growth: twice the size (at least one more), checked.
template <class T, class What>
[[gnu::noinline]] void grow_doubled(std::vector<T>& items, What&& what) {
    const std::size_t doubled = items.size() > items.max_size() / 2 ? items.max_size() : 2 * items.size();
    reserve_checked(items, std::max<std::size_t>(doubled, items.size() + 1), what);
}

// Makes room for one more element at the end of `items` before it is
// appended. The capacity doubles when it is used up (as push_back would grow
// it), and only then is the new buffer checked, with reserve_checked: a call
// that finds room costs one comparison, and the growth stays out of line so
// that appending callers keep a small body.
template <class T, class What>
void reserve_one_more(std::vector<T>& items, What&& what) {
    if (items.size() == items.capacity()) grow_doubled(items, what);
}

// Parsing of the files memory_limit() reads, on their contents (no file access).
namespace memory_files {

// The value of "Key:   123 kB" in /proc/meminfo or /proc/self/status, in bytes.
std::optional<std::uint64_t> kib_field(std::string_view text, std::string_view key);

// A cgroup memory limit file (v2 memory.max, v1 memory.limit_in_bytes): the
// number it holds, or nullopt for "max" (no limit) and anything unreadable.
std::optional<std::uint64_t> cgroup_limit(std::string_view contents);

}  // namespace memory_files

}  // namespace nivra
