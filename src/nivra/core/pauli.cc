#include "nivra/core/pauli.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/number.h"

namespace nivra {

std::string PauliError::message() const {
    switch (kind) {
        case Kind::DuplicateQubit:
            return "duplicate qubit " + fmt::display(qubit) + " in Pauli string";
        case Kind::NonFiniteCoefficient:
            return "non-finite coefficient";
    }
    invariant_failure("unknown PauliError kind");
}

std::expected<PauliString, PauliError> PauliString::make(std::vector<PauliOp> ops, double coeff) {
    if (!std::isfinite(coeff)) {
        return std::unexpected(PauliError::non_finite_coefficient());
    }
    // An unstable in-place sort gives the same result as a stable one here:
    // with distinct qubits the order is unique, and with a repeated qubit the
    // outcome is an error naming the smallest repeated qubit either way.
    std::sort(ops.begin(), ops.end(), [](const PauliOp& a, const PauliOp& b) { return a.first < b.first; });
    auto repeated = std::adjacent_find(ops.begin(), ops.end(),
                                       [](const PauliOp& a, const PauliOp& b) { return a.first == b.first; });
    if (repeated != ops.end()) {
        return std::unexpected(PauliError::duplicate_qubit(repeated->first));
    }
    std::erase_if(ops, [](const PauliOp& op) { return op.second == Pauli::I; });
    return PauliString{std::move(ops), coeff};
}

std::string PauliSumError::message() const {
    std::string out = "line " + fmt::display(static_cast<std::uint64_t>(line)) + ": ";
    switch (kind) {
        case Kind::Malformed:
            return out + "expected '<coeff> <pauli>', got " + fmt::quoted(text);
        case Kind::BadCoefficient:
            return out + "coefficient " + fmt::quoted(text) + " is not a finite float";
        case Kind::LengthMismatch:
            return out + "pauli string has " + fmt::display(static_cast<std::uint64_t>(chars)) + " chars, expected " +
                   fmt::display(expected);
        case Kind::BadPauli:
            return out + fmt::quoted_char(character) + " is not one of I,X,Y,Z";
        case Kind::Term:
            return out + term.message();
    }
    invariant_failure("unknown PauliSumError kind");
}

namespace {

// Splits `line` at runs of Unicode white space. Fills at most three tokens
// (enough to tell "exactly two" apart) and returns how many there are, capped at 3.
std::size_t split_tokens(std::string_view line, std::array<std::string_view, 3>& tokens) {
    std::size_t count = 0;
    std::size_t token_start = 0;
    bool in_token = false;
    fmt::Utf8Reader reader(line);
    while (!reader.done()) {
        std::size_t at = reader.offset();
        bool space = fmt::is_unicode_whitespace(reader.next());
        if (space && in_token) {
            tokens[count++] = line.substr(token_start, at - token_start);
            in_token = false;
            if (count == tokens.size()) {
                return count;
            }
        } else if (!space && !in_token) {
            token_start = at;
            in_token = true;
        }
    }
    if (in_token) {
        tokens[count++] = line.substr(token_start);
    }
    return count;
}

std::size_t count_scalars(std::string_view text) {
    std::size_t count = 0;
    fmt::Utf8Reader reader(text);
    while (!reader.done()) {
        reader.next();
        ++count;
    }
    return count;
}

PauliSumError line_error(PauliSumError::Kind kind, std::size_t line) {
    PauliSumError error;
    error.kind = kind;
    error.line = line;
    return error;
}

}  // namespace

std::expected<PauliSum, PauliSumError> PauliSum::parse(std::string_view text, std::uint32_t n_qubits) {
    PauliSum sum;
    std::size_t line_number = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string_view line;
        if (end == std::string_view::npos) {
            line = text.substr(pos);
            pos = text.size();
        } else {
            line = text.substr(pos, end - pos);
            pos = end + 1;
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
        }
        ++line_number;

        std::array<std::string_view, 3> tokens;
        std::size_t token_count = split_tokens(line, tokens);
        // The first token starts at the first character of the trimmed line.
        if (token_count == 0 || tokens[0].front() == '#') {
            continue;
        }
        if (token_count != 2) {
            PauliSumError error = line_error(PauliSumError::Kind::Malformed, line_number);
            error.text = std::string(line);
            return std::unexpected(std::move(error));
        }

        std::optional<double> coeff = parse_f64(tokens[0]);
        if (!coeff) {
            PauliSumError error = line_error(PauliSumError::Kind::BadCoefficient, line_number);
            error.text = std::string(tokens[0]);
            return std::unexpected(std::move(error));
        }

        std::string_view pauli_token = tokens[1];
        std::size_t chars = count_scalars(pauli_token);
        if (chars != n_qubits) {
            PauliSumError error = line_error(PauliSumError::Kind::LengthMismatch, line_number);
            error.chars = chars;
            error.expected = n_qubits;
            return std::unexpected(std::move(error));
        }

        std::vector<PauliOp> ops;
        fmt::Utf8Reader reader(pauli_token);
        // The token has exactly n_qubits characters, so every index fits a Qubit.
        for (Qubit qubit = 0; !reader.done(); ++qubit) {
            char32_t c = reader.next();
            switch (c) {
                case U'I':
                    break;
                case U'X':
                    ops.emplace_back(qubit, Pauli::X);
                    break;
                case U'Y':
                    ops.emplace_back(qubit, Pauli::Y);
                    break;
                case U'Z':
                    ops.emplace_back(qubit, Pauli::Z);
                    break;
                default: {
                    PauliSumError error = line_error(PauliSumError::Kind::BadPauli, line_number);
                    error.character = c;
                    return std::unexpected(std::move(error));
                }
            }
        }

        std::expected<PauliString, PauliError> term = PauliString::make(std::move(ops), *coeff);
        if (!term) {
            PauliSumError error = line_error(PauliSumError::Kind::Term, line_number);
            error.term = term.error();
            return std::unexpected(std::move(error));
        }
        sum.terms.push_back(std::move(*term));
    }
    return sum;
}

}  // namespace nivra
