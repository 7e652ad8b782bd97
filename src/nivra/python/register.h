#pragma once
// One registration function per area of the module, called by module.cc in
// the order the module's names appear.

#include <nanobind/nanobind.h>

namespace nivra::python {

// The project version from CMakeLists.txt, its one written place.
inline constexpr const char* VERSION = NIVRA_VERSION;

// Circuit.
void register_circuit(nanobind::module_& m);
// PauliSum, hea_energy, qaoa_energy.
void register_energy(nanobind::module_& m);
// RunResult, run.
void register_run(nanobind::module_& m);
// NoiseModel, QuantumError and the six error factories.
void register_noise(nanobind::module_& m);

// Creates the submodule "qec" (DetectorErrorModel, Decoder, decoder_names)
// and adds it to `parent` as `parent.qec`; registered last.
void register_qec(nanobind::module_& parent);


}  // namespace nivra::python
