#pragma once
// NoiseModel: which channels follow which gates, and which qubits are read
// out with errors.
//
//   NoiseModel model;
//   const std::vector<std::string> h{"H"}, cnot{"Cnot"};
//   const std::vector<Qubit> pair{0, 1};
//   model.add_all_qubit_quantum_error(depolarizing_error(0.01, 1), h);   // after every H
//   model.add_quantum_error(bit_flip_error(0.1), cnot, pair);           // after Cnot on (0, 1) only
//   model.add_readout_error(0, ReadoutError{{0.95, 0.05, 0.1, 0.9}});
//
// Gate names are gate-kind names (gate_kind_name: "H", "Cnot", ...); the model
// stores whatever it is given and never checks names, arities or qubits
// against a circuit (a run does, see apply.h). A model only grows; the one
// replacement is a qubit's readout entry. While a run reads it, nothing may
// modify it; concurrent reads need no lock.

#include <boost/container/small_vector.hpp>
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "nivra/core/gate.h"
#include "nivra/sv/noise/error.h"

namespace nivra::sv::noise {

class NoiseModel {
public:
    // For each name in order, appends a copy of `error` to the list of
    // (name, qubits), an ordered qubit list: (Cnot, [0, 1]) and (Cnot, [1, 0])
    // are different keys. An empty name list changes nothing.
    void add_quantum_error(const QuantumError& error, std::span<const std::string> gates,
                           std::span<const Qubit> qubits);

    // For each name in order, appends a copy of `error` to the list of that
    // name, which applies whatever qubits the gate acts on.
    void add_all_qubit_quantum_error(const QuantumError& error, std::span<const std::string> gates);

    // Sets the qubit's readout error; a later call for the same qubit replaces it.
    void add_readout_error(Qubit qubit, const ReadoutError& readout);

    // The channels that follow gate `name` on `qubits` (its targets, in
    // order): first every all-qubit channel of the name, then every channel of
    // (name, qubits), each list in insertion order. A channel attached twice
    // appears twice. The pointers stay valid until the model is next modified.
    std::vector<const QuantumError*> errors_for(std::string_view name, std::span<const Qubit> qubits) const;

    // The qubit's readout error, or null.
    const ReadoutError* readout_error(Qubit qubit) const;

    bool empty() const { return local_.empty() && all_qubit_.empty() && readout_.empty(); }

private:
    using QubitList = boost::container::small_vector<Qubit, 2>;

    struct LocalKey {
        std::string name;
        QubitList qubits;
    };
    // A key to look up without building a LocalKey.
    struct LocalKeyView {
        std::string_view name;
        std::span<const Qubit> qubits;
    };
    struct LocalKeyHash {
        using is_transparent = void;
        std::size_t operator()(const LocalKeyView& key) const;
        std::size_t operator()(const LocalKey& key) const { return (*this)(view(key)); }
    };
    struct LocalKeyEqual {
        using is_transparent = void;
        bool operator()(const LocalKeyView& a, const LocalKeyView& b) const;
        bool operator()(const LocalKey& a, const LocalKey& b) const { return (*this)(view(a), view(b)); }
        bool operator()(const LocalKeyView& a, const LocalKey& b) const { return (*this)(a, view(b)); }
        bool operator()(const LocalKey& a, const LocalKeyView& b) const { return (*this)(view(a), b); }
    };
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
    };

    static LocalKeyView view(const LocalKey& key) { return {key.name, {key.qubits.data(), key.qubits.size()}}; }

    // Lookups only: no iteration order of these maps ever reaches a result.
    std::unordered_map<LocalKey, std::vector<QuantumError>, LocalKeyHash, LocalKeyEqual> local_;
    std::unordered_map<std::string, std::vector<QuantumError>, NameHash, std::equal_to<>> all_qubit_;
    std::unordered_map<Qubit, ReadoutError> readout_;
};

}  // namespace nivra::sv::noise
