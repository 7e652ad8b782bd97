#include "nivra/ir/passes/tile_block.h"

#include <gtest/gtest.h>

#include "nivra/ir/test_reference.h"

namespace nivra::ir {
namespace {

using testing::gi;
using testing::make_circuit;

TEST(TileBlock, LoneTileGateStaysAGate) {
    TileBlock pass(15);
    EXPECT_EQ(pass.name(), "TileBlock");
    Circuit c = make_circuit(2, {Measure{0, 0}, gi(Gate::h(), {1}), Measure{1, 1}}, 2);
    const Circuit copy = c;
    EXPECT_EQ(pass.run(c), (PassStats{3, 3, 0}));
    EXPECT_EQ(c, copy);
    Circuit empty(3);
    EXPECT_EQ(pass.run(empty), (PassStats{0, 0, 0}));
}

TEST(TileBlock, GroupsRunsBelowTheTile) {
    Circuit c = make_circuit(16, {gi(Gate::h(), {0}), gi(Gate::cnot(), {0, 14}), gi(Gate::x(), {15})});
    EXPECT_EQ(TileBlock(15).run(c), (PassStats{3, 2, 1}));
    const TiledBlock& block = c.instructions()[0].get<TiledBlock>();
    EXPECT_EQ(block.tile, 15);
    EXPECT_EQ(block.gates, (std::vector<GateInstance>{gi(Gate::h(), {0}), gi(Gate::cnot(), {0, 14})}));
    EXPECT_EQ(c.instructions()[1], Instruction(gi(Gate::x(), {15})));
}

TEST(TileBlock, ControlsAreNotLookedAt) {
    Circuit c = make_circuit(20, {gi(Gate::h(), {1}), gi(Gate::phase(0.5), {0}, {19}), gi(Gate::h(), {2})});
    EXPECT_EQ(TileBlock(3).run(c), (PassStats{3, 1, 1}));
    EXPECT_EQ(c.instructions()[0].get<TiledBlock>().gates.size(), 3U);
}

TEST(TileBlock, GatesWithoutMatrixOrWideGatesBreakRuns) {
    Circuit c = make_circuit(
        4, {gi(Gate::h(), {0}), gi(Gate::h(), {1}), gi(Gate::rx(INFINITY), {0}), gi(Gate::h(), {0}), gi(Gate::h(), {1}),
            gi(Gate::unitary_kq(1, {1, 0, 0, 1}), {2}), gi(Gate::h(), {2}), gi(Gate::h(), {3}),
            gi(Gate::toffoli(), {0, 1, 2}), gi(Gate::h(), {0}), TiledBlock{{gi(Gate::h(), {0})}, 4}});
    EXPECT_EQ(TileBlock(15).run(c), (PassStats{11, 8, 3}));
    const auto& list = c.instructions();
    EXPECT_TRUE(list[0].holds<TiledBlock>());
    EXPECT_TRUE(list[1].gate() != nullptr);
    EXPECT_TRUE(list[2].holds<TiledBlock>());
    EXPECT_EQ(list[3].gate()->gate.kind(), GateKind::UnitaryKq);
    EXPECT_TRUE(list[4].holds<TiledBlock>());
    EXPECT_EQ(list[5].gate()->gate.kind(), GateKind::Toffoli);
    EXPECT_EQ(list[6].gate()->gate.kind(), GateKind::H);
    EXPECT_EQ(list[7].get<TiledBlock>().tile, 4);
}

}  // namespace
}  // namespace nivra::ir
