#include "nivra/backend/select.h"

#include <gtest/gtest.h>

namespace nivra::backend {
namespace {

GateInstance gi(Gate gate, std::initializer_list<Qubit> targets, std::initializer_list<Qubit> controls = {}) {
    GateInstance g{std::move(gate), {}, {}};
    g.targets.assign(targets.begin(), targets.end());
    g.controls.assign(controls.begin(), controls.end());
    return g;
}

TEST(BackendRequest, AcceptedNames) {
    const std::vector<std::pair<const char*, BackendRequest>> names = {
        {"auto", BackendRequest::automatic()},
        {"statevector", BackendRequest::of(BackendKind::StateVector)},
        {"sv", BackendRequest::of(BackendKind::StateVector)},
        {"stabilizer", BackendRequest::of(BackendKind::Stabilizer)},
        {"stab", BackendRequest::of(BackendKind::Stabilizer)},
        {"mps", BackendRequest::of(BackendKind::Mps)},
        {"metal", BackendRequest::of(BackendKind::Metal)},
        {"gpu", BackendRequest::of(BackendKind::Metal)},
        {"cuda", BackendRequest::of(BackendKind::CudaF64)},
        {"cuda-f64", BackendRequest::of(BackendKind::CudaF64)},
        {"cuda-f32", BackendRequest::of(BackendKind::CudaF32)},
        {"cuda-fp32", BackendRequest::of(BackendKind::CudaF32)},
    };
    for (const auto& [text, request] : names) {
        auto parsed = BackendRequest::from_user_str(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed, request) << text;
    }
    EXPECT_TRUE(BackendRequest::from_user_str("auto")->is_auto());
}

TEST(BackendRequest, UnknownNames) {
    const std::string list =
        "; expected one of: auto, statevector (sv), stabilizer (stab), mps, metal (gpu), cuda (cuda-f64), cuda-f32 "
        "(cuda-fp32)";
    EXPECT_EQ(BackendRequest::from_user_str("SV").error(), "unknown backend \"SV\"" + list);
    EXPECT_EQ(BackendRequest::from_user_str(" sv").error(), "unknown backend \" sv\"" + list);
    EXPECT_EQ(BackendRequest::from_user_str("state-vector").error(), "unknown backend \"state-vector\"" + list);
    EXPECT_EQ(BackendRequest::from_user_str("a\"b\n").error(), "unknown backend \"a\\\"b\\n\"" + list);
    EXPECT_FALSE(BackendRequest::from_user_str(""));
}

TEST(Analyze, Flags) {
    ir::Circuit empty(40);
    EXPECT_EQ(analyze(empty), (CircuitAnalysis{40, 0, true, true, true}));

    ir::Circuit c(5, 1);
    ASSERT_TRUE(c.add_gate(gi(Gate::h(), {0})));
    ASSERT_TRUE(c.add_gate(gi(Gate::cnot(), {1, 2})));
    ASSERT_TRUE(c.add_instruction(ir::Measure{0, 0}));
    ASSERT_TRUE(c.add_instruction(ir::Barrier{{0, 1}}));
    EXPECT_EQ(analyze(c), (CircuitAnalysis{5, 1, true, true, true}));

    ir::Circuit controlled = c;
    ASSERT_TRUE(controlled.add_gate(gi(Gate::x(), {3}, {4})));
    const CircuitAnalysis a = analyze(controlled);
    EXPECT_FALSE(a.all_clifford);
    EXPECT_FALSE(a.mps_friendly);
    EXPECT_TRUE(a.nearest_neighbor);

    ir::Circuit toffoli = c;
    ASSERT_TRUE(toffoli.add_gate(gi(Gate::toffoli(), {0, 2, 4})));
    EXPECT_TRUE(analyze(toffoli).nearest_neighbor);
    EXPECT_FALSE(analyze(toffoli).mps_friendly);

    ir::Circuit far = c;
    ASSERT_TRUE(far.add_gate(gi(Gate::cz(), {4, 2})));
    EXPECT_FALSE(analyze(far).nearest_neighbor);
    EXPECT_TRUE(analyze(far).all_clifford);

    ir::Circuit phase = c;
    ASSERT_TRUE(phase.add_instruction(ir::DiagonalPhase{{}, 5}));
    EXPECT_FALSE(analyze(phase).all_clifford);
    EXPECT_TRUE(analyze(phase).mps_friendly);
    ir::Circuit block = c;
    ASSERT_TRUE(block.add_instruction(ir::TiledBlock{{gi(Gate::h(), {0}), gi(Gate::x(), {1})}, 15}));
    EXPECT_FALSE(analyze(block).all_clifford);
}

TEST(Analyze, TwoQubitLayersCountLayersNotGates) {
    ir::Circuit c(4);
    ASSERT_TRUE(c.add_gate(gi(Gate::cnot(), {0, 1})));
    ASSERT_TRUE(c.add_gate(gi(Gate::cnot(), {2, 3})));  // same layer
    ASSERT_TRUE(c.add_gate(gi(Gate::h(), {0})));        // new layer, no 2q gate
    ASSERT_TRUE(c.add_gate(gi(Gate::cz(), {1, 2})));    // still that layer
    ASSERT_TRUE(c.add_gate(gi(Gate::h(), {1})));        // new layer
    EXPECT_EQ(analyze(c).two_q_layers, 2u);
}

// A non-Clifford circuit of n qubits with `layers` layers of nearest-neighbour Cnots.
ir::Circuit chain(std::uint32_t n, int layers, bool far = false) {
    ir::Circuit c(n);
    EXPECT_TRUE(c.add_gate(gi(Gate::t(), {5})));
    for (int l = 0; l < layers; ++l) {
        EXPECT_TRUE(c.add_gate(gi(Gate::cnot(), {0, far ? 2u : 1u})));
    }
    return c;
}

TEST(Select, RuleTable) {
    const BackendCaps none;
    ir::Circuit clifford(30);
    ASSERT_TRUE(clifford.add_gate(gi(Gate::h(), {0})));
    ASSERT_TRUE(clifford.add_gate(gi(Gate::cnot(), {0, 1})));
    EXPECT_EQ(select_explained_full(clifford, none),
              (Selection{BackendKind::Stabilizer, "all gates are Clifford", std::nullopt}));
    EXPECT_EQ(select_explained_full(ir::Circuit(100), none).kind, BackendKind::Stabilizer);

    const Selection mps{BackendKind::Mps, "nearest-neighbor and shallow; too large for exact simulation", std::nullopt};
    const Selection big_sv{BackendKind::StateVector, "too large for exact and not MPS-suitable", std::nullopt};
    const Selection small_sv{BackendKind::StateVector, "exact and fits in memory", std::nullopt};
    EXPECT_EQ(select_explained_full(chain(30, 64), none), mps);
    EXPECT_EQ(select_explained_full(chain(30, 65), none), big_sv);
    EXPECT_EQ(select_explained_full(chain(30, 3, true), none), big_sv);
    EXPECT_EQ(select_explained_full(chain(29, 3), none), mps);
    EXPECT_EQ(select_explained_full(chain(28, 3), none), small_sv);

    BackendCaps metal;
    metal.metal = true;
    const Selection metal_sel{BackendKind::Metal,
                              "large dense circuit; Metal GPU state vector (FP32) outpaces the CPU at this scale",
                              std::nullopt};
    EXPECT_EQ(select_explained_full(chain(24, 3), metal), metal_sel);
    EXPECT_EQ(select_explained_full(chain(28, 3), metal), metal_sel);
    EXPECT_EQ(select_explained_full(chain(23, 3), metal), small_sv);
    EXPECT_EQ(select_explained_full(chain(29, 80), metal), big_sv);
}

TEST(Select, CudaRules) {
    BackendCaps f64;
    f64.cuda = true;
    f64.precision = Precision::F64;
    BackendCaps automatic;
    automatic.cuda = true;
    BackendCaps f32 = automatic;
    f32.precision = Precision::F32;
    auto sel = [](std::uint32_t n, const BackendCaps& caps) { return select_explained_full(chain(n, 80), caps); };
    EXPECT_EQ(sel(30, f64),
              (Selection{BackendKind::CudaF64, "large dense circuit; CUDA FP64 state vector", std::nullopt}));
    EXPECT_EQ(sel(31, f64),
              (Selection{BackendKind::CudaF64, "too large for in-core; CUDA FP64 out-of-core paging", 29u}));
    EXPECT_EQ(sel(31, automatic),
              (Selection{BackendKind::CudaF32, "large dense circuit; CUDA FP32 state vector", std::nullopt}));
    EXPECT_EQ(sel(32, f32),
              (Selection{BackendKind::CudaF32, "too large for in-core; CUDA FP32 out-of-core paging", 30u}));
    EXPECT_EQ(sel(28, f64).kind, BackendKind::StateVector);
    // The MPS rule comes first.
    EXPECT_EQ(select_explained_full(chain(40, 3), f64).kind, BackendKind::Mps);
}

}  // namespace
}  // namespace nivra::backend
