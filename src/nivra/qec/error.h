#pragma once
// The error of the QEC decoders: reading a detector error model and building a
// decoder from it. Every variant has one fixed message text (message()).

#include <cstddef>
#include <string>
#include <utility>

namespace nivra::qec {

struct Error {
    enum class Kind {
        DemParse,               // `line`, `text`: "DEM parse error at line {line}: {text}"
        StabilizerPropagation,  // `text` (kept with its message; nothing produces it)
        DecoderOracle,          // `text` (kept with its message; nothing produces it)
        NonGraphlike,           // `count`: detectors flipped by one mechanism's component (> 2)
        GraphTooLarge,          // `count` nodes of a matching graph do not fit 32-bit node ids
    };

    Kind kind = Kind::DemParse;
    std::size_t line = 0;   // 1-based line of a DemParse failure
    std::size_t count = 0;  // NonGraphlike: reduced detector count; GraphTooLarge: node count
    std::string text;

    static Error dem_parse(std::size_t line, std::string text) {
        return Error{Kind::DemParse, line, 0, std::move(text)};
    }
    static Error non_graphlike(std::size_t count) { return Error{Kind::NonGraphlike, 0, count, {}}; }
    static Error graph_too_large(std::size_t nodes) { return Error{Kind::GraphTooLarge, 0, nodes, {}}; }

    std::string message() const;

    friend bool operator==(const Error&, const Error&) = default;
};

}  // namespace nivra::qec
