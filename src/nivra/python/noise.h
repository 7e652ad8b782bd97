#pragma once
// The NoiseModel value and the noisy branch of run().

#include <nanobind/nanobind.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "nivra/ir/circuit.h"
#include "nivra/python/borrow.h"
#include "nivra/python/declare.h"
#include "nivra/run/run.h"
#include "nivra/sv/noise/model.h"

namespace nivra::python {

// The value behind NoiseModel. Its three methods hold `borrow` exclusively;
// a noisy run holds it shared for the whole call, the interpreter lock
// released, so a model is never changed while a run reads it.
struct PyNoiseModel {
    sv::noise::NoiseModel model;
    BorrowFlag borrow{};
};

// run()'s `noise` argument: absent, or a model borrowed shared for as long as
// this value lives.
class NoiseArg {
public:
    explicit NoiseArg(const PyNoiseModel* model) : model_(model) {
        if (model_ != nullptr) read_.emplace(model_->borrow);
    }

    bool present() const { return model_ != nullptr; }
    // The model; only when present().
    const sv::noise::NoiseModel& model() const { return model_->model; }

private:
    const PyNoiseModel* model_;
    std::optional<BorrowFlag::Shared> read_;
};

// None is absent; otherwise the value must be a NoiseModel (TypeError naming
// the argument). Requires the lock.
NoiseArg noise_arg(nanobind::handle obj, const char* name);

template <>
struct Param<NoiseArg> {
    static NoiseArg convert(nanobind::handle obj, const char* name) { return noise_arg(obj, name); }
    static std::string py_type() { return class_name<PyNoiseModel>() + " | None"; }
};

// The noisy trajectories of the circuit as built, one per shot, counted into
// the histogram of every basis index with a non-zero count. Errors are the
// texts of ValueError: "run noisy: " and the NoiseError message. Runs without
// the interpreter lock; touches no Python object.
std::expected<run::Histogram, std::string> run_noisy_histogram(const ir::Circuit& circuit, const NoiseArg& noise,
                                                               std::uint32_t shots, std::uint64_t seed);

}  // namespace nivra::python
