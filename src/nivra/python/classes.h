#pragma once
// The native values behind the simulation classes that more than one source
// file of the module reads.

#include "nivra/ir/circuit.h"
#include "nivra/python/borrow.h"

namespace nivra::python {

// The value behind Circuit: one IR circuit. Builders hold `borrow`
// exclusively while they append; counts hold it shared, and run holds it
// shared for the whole call, the interpreter lock released meanwhile, so a
// builder called from another thread during a run raises "Already borrowed"
// instead of changing the instructions the run is reading.
struct PyCircuit {
    ir::Circuit circuit;
    BorrowFlag borrow{};
};

}  // namespace nivra::python
