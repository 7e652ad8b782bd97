#include "nivra/qec/scratch.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace nivra::qec {
namespace {

struct Buffers {
    std::vector<int> values;
};
struct OtherBuffers {
    std::vector<int> values;
};

TEST(ThreadScratch, OneValuePerThreadAndTypeNeverReentered) {
    Buffers* first = nullptr;
    {
        const ThreadScratch<Buffers> lease("Owner");
        lease->values.assign(3, 7);
        first = &*lease;
        // Another type's scratch is independent of this one.
        const ThreadScratch<OtherBuffers> other("Other");
        EXPECT_NE(static_cast<void*>(&*other), static_cast<void*>(first));
        try {
            const ThreadScratch<Buffers> again("Owner");
            ADD_FAILURE() << "re-entry not refused";
        } catch (const InvariantError& e) {
            EXPECT_EQ(std::string(e.what()), "Owner: this thread's scratch is already in use");
        }
        // The refused lease did not release the held one.
        EXPECT_THROW(ThreadScratch<Buffers>("Owner"), InvariantError);
    }
    // Released: the next lease on this thread gets the same buffers back.
    const ThreadScratch<Buffers> lease("Owner");
    EXPECT_EQ(&*lease, first);
    EXPECT_EQ(lease->values, std::vector<int>(3, 7));
    // Another thread has its own, fresh value, and may lease it meanwhile.
    Buffers* theirs = nullptr;
    std::size_t their_size = 1;
    std::thread([&] {
        const ThreadScratch<Buffers> other("Owner");
        theirs = &*other;
        their_size = other->values.size();
    }).join();
    EXPECT_NE(theirs, first);
    EXPECT_EQ(their_size, 0u);
}

}  // namespace
}  // namespace nivra::qec
