#pragma once
// Per-thread work space of the decoders. Decoders are immutable and decode on
// many threads at once, so each thread keeps its own buffers, reused across
// shots. A decode never calls back into another decode on the same thread:
// a second lease on a thread's scratch while the first is held marks a bug,
// and throws rather than let two decodes share (and corrupt) the buffers.

#include <string>

#include "nivra/core/error.h"

namespace nivra::qec {

// Exclusive use of the calling thread's `Scratch` for the lease's lifetime.
// The value is default-constructed on the thread's first lease and lives as
// long as the thread; each Scratch type has one value per thread. Taking a
// second lease on the same thread while one is held throws InvariantError
// "<owner>: this thread's scratch is already in use" (`owner` must outlive
// nothing: it is read only by the constructor).
template <class Scratch>
class ThreadScratch {
public:
    explicit ThreadScratch(const char* owner) : slot_(&thread_slot()) {
        if (slot_->in_use) invariant_failure(std::string(owner) + ": this thread's scratch is already in use");
        slot_->in_use = true;
    }
    ~ThreadScratch() { slot_->in_use = false; }
    ThreadScratch(const ThreadScratch&) = delete;
    ThreadScratch& operator=(const ThreadScratch&) = delete;

    Scratch& operator*() const { return slot_->scratch; }
    Scratch* operator->() const { return &slot_->scratch; }

private:
    struct Slot {
        Scratch scratch;
        bool in_use = false;
    };

    // Out of line, so that a lease holds the slot's address as a plain
    // pointer. Inlined, the compiler recomputes the thread-local address at
    // each use of the scratch instead of keeping it: in a shared library
    // (the Python extension) every recomputation is a call to __tls_get_addr,
    // hundreds per shot inside a decoder's loops.
    [[gnu::noinline]] static Slot& thread_slot() {
        thread_local Slot slot;
        return slot;
    }

    Slot* slot_;
};

}  // namespace nivra::qec
