#include "nivra/sv/noise/model.h"

#include <algorithm>

namespace nivra::sv::noise {

std::size_t NoiseModel::LocalKeyHash::operator()(const LocalKeyView& key) const {
    std::size_t h = std::hash<std::string_view>{}(key.name);
    auto mix = [&h](std::size_t v) { h ^= v + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2); };
    mix(key.qubits.size());
    for (Qubit q : key.qubits) {
        mix(q);
    }
    return h;
}

bool NoiseModel::LocalKeyEqual::operator()(const LocalKeyView& a, const LocalKeyView& b) const {
    return a.name == b.name && std::ranges::equal(a.qubits, b.qubits);
}

void NoiseModel::add_quantum_error(const QuantumError& error, std::span<const std::string> gates,
                                   std::span<const Qubit> qubits) {
    for (const std::string& name : gates) {
        auto it = local_.find(LocalKeyView{name, qubits});
        if (it == local_.end()) {
            it = local_.emplace(LocalKey{name, QubitList(qubits.begin(), qubits.end())}, std::vector<QuantumError>{})
                     .first;
        }
        it->second.push_back(error);
    }
}

void NoiseModel::add_all_qubit_quantum_error(const QuantumError& error, std::span<const std::string> gates) {
    for (const std::string& name : gates) {
        all_qubit_[name].push_back(error);
    }
}

void NoiseModel::add_readout_error(Qubit qubit, const ReadoutError& readout) { readout_[qubit] = readout; }

std::vector<const QuantumError*> NoiseModel::errors_for(std::string_view name, std::span<const Qubit> qubits) const {
    std::vector<const QuantumError*> out;
    if (!all_qubit_.empty()) {
        if (auto it = all_qubit_.find(name); it != all_qubit_.end()) {
            for (const QuantumError& e : it->second) {
                out.push_back(&e);
            }
        }
    }
    if (!local_.empty()) {
        if (auto it = local_.find(LocalKeyView{name, qubits}); it != local_.end()) {
            for (const QuantumError& e : it->second) {
                out.push_back(&e);
            }
        }
    }
    return out;
}

const ReadoutError* NoiseModel::readout_error(Qubit qubit) const {
    auto it = readout_.find(qubit);
    return it == readout_.end() ? nullptr : &it->second;
}

}  // namespace nivra::sv::noise
