#include "nivra/qec/error.h"

#include "nivra/core/error.h"
#include "nivra/core/format.h"

namespace nivra::qec {

std::string Error::message() const {
    switch (kind) {
        case Kind::DemParse:
            return "DEM parse error at line " + fmt::display(static_cast<std::uint64_t>(line)) + ": " + text;
        case Kind::StabilizerPropagation:
            return "stabilizer propagation failed: " + text;
        case Kind::DecoderOracle:
            return "decoder oracle failed: " + text;
        case Kind::NonGraphlike:
            return "non-graphlike DEM: an error mechanism flips " + fmt::display(static_cast<std::uint64_t>(count)) +
                   " detectors (>2); matching needs a graph-like DEM";
        case Kind::GraphTooLarge:
            return "matching graph too large: " + fmt::display(static_cast<std::uint64_t>(count)) +
                   " nodes (detectors and the boundary) exceed 32-bit node ids";
    }
    invariant_failure("qec::Error: unknown kind");
}

}  // namespace nivra::qec
