#include "nivra/sv/noise/model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nivra::sv::noise {
namespace {

using Names = std::vector<std::string>;
using Qubits = std::vector<Qubit>;

// The channels errors_for returns, as values.
std::vector<QuantumError> found(const NoiseModel& m, std::string_view name, const Qubits& qubits) {
    std::vector<QuantumError> out;
    for (const QuantumError* e : m.errors_for(name, qubits)) {
        out.push_back(*e);
    }
    return out;
}

TEST(NoiseModel, AllQubitChannelsComeBeforeLocalOnes) {
    NoiseModel m;
    const QuantumError local = bit_flip_error(0.1);
    const QuantumError all = phase_flip_error(0.2);
    m.add_quantum_error(local, Names{"H"}, Qubits{0});
    m.add_all_qubit_quantum_error(all, Names{"H"});
    EXPECT_EQ(found(m, "H", {0}), (std::vector<QuantumError>{all, local}));
    EXPECT_EQ(found(m, "H", {1}), (std::vector<QuantumError>{all}));
    EXPECT_TRUE(found(m, "X", {0}).empty());
}

TEST(NoiseModel, LocalKeysAreOrderedQubitLists) {
    NoiseModel m;
    const QuantumError e = depolarizing_error(0.1, 2);
    m.add_quantum_error(e, Names{"Cnot"}, Qubits{0, 1});
    EXPECT_EQ(found(m, "Cnot", {0, 1}), (std::vector<QuantumError>{e}));
    EXPECT_TRUE(found(m, "Cnot", {1, 0}).empty());
    EXPECT_TRUE(found(m, "Cnot", {0}).empty());
    EXPECT_TRUE(found(m, "Cnot", {0, 1, 2}).empty());
    // Names compare exactly: no case folding, no prefixes.
    EXPECT_TRUE(found(m, "cnot", {0, 1}).empty());
    EXPECT_TRUE(found(m, "Cnot ", {0, 1}).empty());
}

TEST(NoiseModel, ListsKeepInsertionOrderAndDuplicates) {
    NoiseModel m;
    const QuantumError a = bit_flip_error(0.1);
    const QuantumError b = amplitude_damping_error(0.2);
    m.add_all_qubit_quantum_error(a, Names{"X"});
    m.add_all_qubit_quantum_error(b, Names{"X"});
    m.add_all_qubit_quantum_error(a, Names{"X"});
    m.add_quantum_error(b, Names{"X"}, Qubits{3});
    m.add_quantum_error(b, Names{"X"}, Qubits{3});
    EXPECT_EQ(found(m, "X", {3}), (std::vector<QuantumError>{a, b, a, b, b}));
}

TEST(NoiseModel, EachNameIsItsOwnKey) {
    NoiseModel m;
    const QuantumError a = bit_flip_error(0.1);
    const QuantumError b = phase_flip_error(0.3);
    m.add_all_qubit_quantum_error(a, Names{"H", "X"});
    m.add_all_qubit_quantum_error(b, Names{"H"});
    EXPECT_EQ(found(m, "H", {0}), (std::vector<QuantumError>{a, b}));
    EXPECT_EQ(found(m, "X", {0}), (std::vector<QuantumError>{a}));

    m.add_quantum_error(b, Names{"H", "X"}, Qubits{2});
    m.add_quantum_error(a, Names{"X"}, Qubits{2});
    EXPECT_EQ(found(m, "H", {2}), (std::vector<QuantumError>{a, b, b}));
    EXPECT_EQ(found(m, "X", {2}), (std::vector<QuantumError>{a, b, a}));
}

TEST(NoiseModel, EmptyNameListChangesNothing) {
    NoiseModel m;
    m.add_quantum_error(bit_flip_error(0.1), Names{}, Qubits{0});
    m.add_all_qubit_quantum_error(bit_flip_error(0.1), Names{});
    EXPECT_TRUE(m.empty());
    // An empty qubit list is a key of its own.
    m.add_quantum_error(bit_flip_error(0.1), Names{"H"}, Qubits{});
    EXPECT_EQ(found(m, "H", {}).size(), 1u);
    EXPECT_TRUE(found(m, "H", {0}).empty());
}

TEST(NoiseModel, LastReadoutErrorForAQubitWins) {
    NoiseModel m;
    EXPECT_EQ(m.readout_error(0), nullptr);
    m.add_readout_error(0, ReadoutError{{0.9, 0.1, 0.2, 0.8}});
    m.add_readout_error(0, ReadoutError{{0.5, 0.5, 0.5, 0.5}});
    m.add_readout_error(7, ReadoutError{{1.0, 0.0, 1.0, 0.0}});
    ASSERT_NE(m.readout_error(0), nullptr);
    EXPECT_EQ(*m.readout_error(0), (ReadoutError{{0.5, 0.5, 0.5, 0.5}}));
    EXPECT_EQ(*m.readout_error(7), (ReadoutError{{1.0, 0.0, 1.0, 0.0}}));
    EXPECT_EQ(m.readout_error(1), nullptr);
}

TEST(NoiseModel, AttachingCopiesTheChannel) {
    NoiseModel m;
    QuantumError e = bit_flip_error(0.1);
    m.add_all_qubit_quantum_error(e, Names{"H"});
    e = bit_flip_error(0.9);
    EXPECT_EQ(found(m, "H", {0}), (std::vector<QuantumError>{bit_flip_error(0.1)}));
}

}  // namespace
}  // namespace nivra::sv::noise
