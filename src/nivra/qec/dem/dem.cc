#include "nivra/qec/dem/dem.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/core/number.h"

namespace nivra::qec {

namespace {

constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t ERROR_BASE_COST = 8;

// A reading or flattening failure before it becomes an Error: (message, line).
struct Failure {
    std::string message;
    std::size_t line = 0;
};

// The parse tree. Blocks live in one arena and a `repeat` names its body by
// index, so neither building, walking nor destroying the tree recurses, however
// deep the nesting.
//
// Everything an execution needs that does not depend on the detector offset is
// worked out once while reading, so one execution of a leaf costs O(1) plus the
// size of the mechanism it appends.
struct Instr {
    enum class Kind { Detector, LogicalObservable, ShiftDetectors, Repeat, Error };
    Kind kind = Kind::Detector;
    std::size_t line = 0;
    // Detector, Error: the targets as written, a view into the text being read.
    // Read again only to name the first detector that a shift pushes past DemIndex.
    std::string_view target_text;
    // Largest detector and largest observable index named; -1 when none.
    std::int64_t max_detector = -1;
    std::int64_t max_observable = -1;
    // Target tokens on the line, `^` included: the instruction's cost beyond its base.
    std::uint64_t targets = 0;
    std::uint64_t amount = 0;  // ShiftDetectors: the shift; Repeat: the count
    std::size_t body = 0;      // Repeat: index of the body block
    DemError mechanism;        // Error: the mechanism at detector offset 0
};

struct Block {
    std::vector<Instr> instrs;
    // Units executed by one pass over the block (see MAX_FLATTENED_COST); never
    // above the bound, since a larger block is refused while read.
    std::uint64_t cost = 0;
    // Mechanisms appended by one pass over the block (at most cost / 8).
    std::uint64_t errors = 0;
    // Bytes those mechanisms take (mechanism_bytes), so that a model too large
    // for memory is refused before it is unrolled.
    std::uint64_t bytes = 0;
};

// What one flattened mechanism occupies: the DemError and the heap blocks of
// its two lists, each its indices plus the allocator's 8-byte header rounded
// up to 16, at least 32 (as glibc's malloc takes them; shared components cost
// nothing per repetition).
std::uint64_t mechanism_bytes(const DemError& mechanism) {
    auto list = [](std::size_t n) -> std::uint64_t {
        if (n == 0) return 0;
        return std::max<std::uint64_t>(32, (n * sizeof(DemIndex) + 8 + 15) / 16 * 16);
    };
    return sizeof(DemError) + list(mechanism.detectors.size()) + list(mechanism.observables.size());
}

// ---- text helpers ----

bool is_ws(char32_t c) { return fmt::is_unicode_whitespace(c); }

std::string_view trim_start(std::string_view s) {
    fmt::Utf8Reader reader(s);
    while (!reader.done()) {
        std::size_t at = reader.offset();
        if (!is_ws(reader.next())) return s.substr(at);
    }
    return {};
}

std::string_view trim_end(std::string_view s) {
    fmt::Utf8Reader reader(s);
    std::size_t end = 0;
    while (!reader.done()) {
        if (!is_ws(reader.next())) end = reader.offset();
    }
    return s.substr(0, end);
}

std::string_view trim(std::string_view s) { return trim_end(trim_start(s)); }

// Non-empty tokens separated by runs of Unicode whitespace.
std::vector<std::string_view> split_tokens(std::string_view s) {
    std::vector<std::string_view> tokens;
    fmt::Utf8Reader reader(s);
    std::size_t start = 0;
    bool in_token = false;
    while (!reader.done()) {
        std::size_t at = reader.offset();
        bool ws = is_ws(reader.next());
        if (ws && in_token) {
            tokens.push_back(s.substr(start, at - start));
            in_token = false;
        } else if (!ws && !in_token) {
            start = at;
            in_token = true;
        }
    }
    if (in_token) tokens.push_back(s.substr(start));
    return tokens;
}

// An unsigned decimal (optional '+', digits only) no larger than `max`, or the
// integer reader's error text. The value comes from parse_u64; the scan only
// names the first problem from the left, as the format's messages require.
std::expected<std::uint64_t, std::string> parse_unsigned(std::string_view s, std::uint64_t max) {
    if (auto value = parse_u64(s); value && *value <= max) return *value;
    if (s.empty()) return std::unexpected("cannot parse integer from empty string");
    std::string_view digits = s;
    if (s[0] == '+' || s[0] == '-') {
        if (s.size() == 1 || s[0] == '-') return std::unexpected("invalid digit found in string");
        digits = s.substr(1);
    }
    std::uint64_t acc = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::unexpected("invalid digit found in string");
        std::uint64_t next = 0;
        if (!checked_mul<std::uint64_t>(acc, 10, next) ||
            !checked_add<std::uint64_t>(next, static_cast<std::uint64_t>(c - '0'), next) || next > max) {
            return std::unexpected("number too large to fit in target type");
        }
        acc = next;
    }
    invariant_failure("parse_unsigned: parse_u64 refused a valid number");
}

std::expected<double, std::string> parse_float(std::string_view s) {
    if (s.empty()) return std::unexpected("cannot parse float from empty string");
    if (auto value = parse_f64(s)) return *value;
    return std::unexpected("invalid float literal");
}

// The text between backticks, as the format's messages show code.
std::string quoted_code(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out.push_back('`');
    out.append(s);
    out.push_back('`');
    return out;
}

// The optional parenthesised argument of an instruction, and what follows it.
struct ParenSplit {
    std::optional<std::string_view> argument;
    std::string_view rest;
};

ParenSplit split_paren_arg(std::string_view text) {
    std::string_view t = trim_start(text);
    if (t.empty() || t[0] != '(') return {std::nullopt, t};
    std::size_t close = t.find(')', 1);
    if (close == std::string_view::npos) return {std::nullopt, t};
    return {t.substr(1, close - 1), trim_start(t.substr(close + 1))};
}

struct Target {
    bool observable = false;
    DemIndex index = 0;
};

std::expected<Target, Failure> parse_target(std::string_view token, std::size_t line) {
    bool observable = false;
    if (token[0] == 'D') {
        observable = false;
    } else if (token[0] == 'L') {
        observable = true;
    } else {
        return std::unexpected(Failure{"unexpected target " + quoted_code(token) + " (expected D<n> or L<n>)", line});
    }
    auto value = parse_unsigned(token.substr(1), U32_MAX);
    if (!value) {
        return std::unexpected(Failure{std::string("invalid ") + (observable ? "observable" : "detector") +
                                           " index in " + quoted_code(token) + ": " + value.error(),
                                       line});
    }
    return Target{observable, static_cast<DemIndex>(*value)};
}

// Reads the targets of `rest` into a `detector` (keep_observables false) or
// `logical_observable` instruction, keeping indices of that kind only.
std::expected<Instr, Failure> parse_kept_targets(std::string_view rest, std::size_t line, bool keep_observables) {
    Instr instr;
    instr.kind = keep_observables ? Instr::Kind::LogicalObservable : Instr::Kind::Detector;
    instr.line = line;
    instr.target_text = rest;
    for (std::string_view token : split_tokens(rest)) {
        auto target = parse_target(token, line);
        if (!target) return std::unexpected(target.error());
        ++instr.targets;
        if (target->observable != keep_observables) continue;
        if (keep_observables) {
            instr.max_observable = std::max<std::int64_t>(instr.max_observable, target->index);
        } else {
            instr.max_detector = std::max<std::int64_t>(instr.max_detector, target->index);
        }
    }
    return instr;
}

std::expected<Instr, Failure> parse_error_instr(std::string_view rest, std::size_t line) {
    ParenSplit split = split_paren_arg(rest);
    if (!split.argument) return std::unexpected(Failure{"`error` requires a probability in parentheses", line});
    std::string_view arg = trim(*split.argument);
    auto p = parse_float(arg);
    if (!p) return std::unexpected(Failure{"invalid probability " + quoted_code(arg) + ": " + p.error(), line});
    if (!(std::isfinite(*p) && *p >= 0.0 && *p <= 1.0)) {
        return std::unexpected(Failure{"probability must be finite and in [0, 1], got " + quoted_code(arg), line});
    }
    Instr instr;
    instr.kind = Instr::Kind::Error;
    instr.line = line;
    instr.target_text = split.rest;
    std::vector<DemComponent> components(1);
    for (std::string_view token : split_tokens(split.rest)) {
        ++instr.targets;
        if (token == "^") {
            components.emplace_back();
            continue;
        }
        auto target = parse_target(token, line);
        if (!target) return std::unexpected(target.error());
        DemComponent& component = components.back();
        if (target->observable) {
            component.observables.push_back(target->index);
            instr.max_observable = std::max<std::int64_t>(instr.max_observable, target->index);
        } else {
            component.detectors.push_back(target->index);
            instr.max_detector = std::max<std::int64_t>(instr.max_detector, target->index);
        }
    }
    // Sorting and parity reduction commute with adding the offset, so they are
    // done once here rather than once per repetition.
    instr.mechanism = DemError::with_components(std::move(components), *p);
    return instr;
}

// Units one execution of a leaf instruction costs (see MAX_FLATTENED_COST).
std::uint64_t leaf_cost(const Instr& instr) {
    return instr.targets + (instr.kind == Instr::Kind::Error ? ERROR_BASE_COST : 1);
}

std::string limit_message() {
    return "model too large: `repeat` blocks unroll past " + fmt::display(MAX_FLATTENED_COST) +
           " units (each target or `^` counts 1, plus 8 per `error` and 1 per other instruction)";
}

// Reads every line into the block arena (block 0 is the top level).
std::expected<std::vector<Block>, Failure> parse_blocks(std::string_view text) {
    std::vector<Block> blocks(1);
    // Open `repeat` bodies, innermost last: (body block, line of the `repeat`, count).
    struct Open {
        std::size_t block;
        std::size_t line;
        std::uint64_t count;
    };
    std::vector<Open> open;

    // errors <= cost / 8 <= MAX_FLATTENED_COST and bytes <= 32 * cost, so their sums cannot overflow.
    static_assert(sizeof(DemError) <= 32 * ERROR_BASE_COST - 64);
    auto add_cost = [&](std::size_t block, std::uint64_t cost, std::uint64_t errors, std::uint64_t bytes,
                        std::size_t line) -> std::optional<Failure> {
        std::uint64_t total = 0;
        if (!checked_add(blocks[block].cost, cost, total) || total > MAX_FLATTENED_COST) {
            return Failure{limit_message(), line};
        }
        blocks[block].cost = total;
        blocks[block].errors += errors;
        blocks[block].bytes += bytes;
        return std::nullopt;
    };
    auto append = [&](std::size_t block, Instr instr) {
        reserve_one_more(blocks[block].instrs, [](std::size_t n) {
            return fmt::display(std::uint64_t{n}) + " instructions of a detector error model";
        });
        blocks[block].instrs.push_back(std::move(instr));
    };

    std::size_t line_number = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t newline = text.find('\n', pos);
        std::string_view line = newline == std::string_view::npos ? text.substr(pos) : text.substr(pos, newline - pos);
        pos = newline == std::string_view::npos ? text.size() : newline + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r' && newline != std::string_view::npos) line.remove_suffix(1);

        if (std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        std::string_view s = trim(line);
        if (s.empty()) continue;
        std::size_t current = open.empty() ? 0 : open.back().block;

        if (s == "}") {
            if (open.empty()) return std::unexpected(Failure{"unmatched `}`", line_number});
            Open body = open.back();
            open.pop_back();
            std::size_t parent = open.empty() ? 0 : open.back().block;
            std::uint64_t cost = 0;
            if (!checked_mul(body.count, blocks[body.block].cost, cost) || cost > MAX_FLATTENED_COST) {
                return std::unexpected(Failure{limit_message(), body.line});
            }
            const std::uint64_t errors = cost == 0 ? 0 : body.count * blocks[body.block].errors;
            const std::uint64_t bytes = cost == 0 ? 0 : body.count * blocks[body.block].bytes;
            if (auto failure = add_cost(parent, cost, errors, bytes, body.line)) return std::unexpected(*failure);
            Instr instr;
            instr.kind = Instr::Kind::Repeat;
            instr.line = body.line;
            instr.amount = body.count;
            instr.body = body.block;
            append(parent, std::move(instr));
            continue;
        }
        const std::size_t L = s.size();
        if (L >= 18 && s.starts_with("detector_separator")) {
            return std::unexpected(Failure{"`detector_separator` is not supported", line_number});
        }
        std::expected<Instr, Failure> parsed = std::unexpected(Failure{});
        if (L <= 5) {
            if (s != "error") return std::unexpected(Failure{"unknown instruction: " + quoted_code(s), line_number});
            parsed = parse_error_instr({}, line_number);
        } else if (s.starts_with("repeat")) {
            std::string_view rest = trim(s.substr(6));
            if (rest.empty() || rest.back() != '{') {
                return std::unexpected(Failure{"`repeat` must end with `{`", line_number});
            }
            std::string_view count_text = trim(rest.substr(0, rest.size() - 1));
            auto count = parse_unsigned(count_text, U64_MAX);
            if (!count) {
                return std::unexpected(
                    Failure{"invalid repeat count " + quoted_code(count_text) + ": " + count.error(), line_number});
            }
            reserve_one_more(blocks, [](std::size_t n) {
                return fmt::display(std::uint64_t{n}) + " `repeat` blocks of a detector error model";
            });
            blocks.emplace_back();
            open.push_back(Open{blocks.size() - 1, line_number, *count});
            continue;
        } else if (L >= 15 && s.starts_with("shift_detectors")) {
            std::string_view amount_text = trim(split_paren_arg(s.substr(15)).rest);
            auto amount = parse_unsigned(amount_text, U64_MAX);
            if (!amount) {
                return std::unexpected(
                    Failure{"invalid shift " + quoted_code(amount_text) + ": " + amount.error(), line_number});
            }
            Instr instr;
            instr.kind = Instr::Kind::ShiftDetectors;
            instr.line = line_number;
            instr.amount = *amount;
            parsed = std::move(instr);
        } else if (s.starts_with("error")) {
            parsed = parse_error_instr(s.substr(5), line_number);
        } else if (L >= 8 && s.starts_with("detector")) {
            parsed = parse_kept_targets(split_paren_arg(s.substr(8)).rest, line_number, false);
        } else if (L >= 18 && s.starts_with("logical_observable")) {
            parsed = parse_kept_targets(s.substr(18), line_number, true);
        } else {
            return std::unexpected(Failure{"unknown instruction: " + quoted_code(s), line_number});
        }
        if (!parsed) return std::unexpected(parsed.error());
        const bool is_error = parsed->kind == Instr::Kind::Error;
        const std::uint64_t bytes = is_error ? mechanism_bytes(parsed->mechanism) : 0;
        if (auto failure = add_cost(current, leaf_cost(*parsed), is_error ? 1 : 0, bytes, line_number)) {
            return std::unexpected(*failure);
        }
        append(current, std::move(*parsed));
    }
    if (!open.empty()) return std::unexpected(Failure{"unclosed `repeat` block", open.back().line});
    return blocks;
}

struct ExecState {
    std::vector<DemError> errors;
    std::uint64_t offset = 0;
    std::int64_t max_detector = -1;
    std::int64_t max_observable = -1;
};

std::expected<DemIndex, Failure> shift_detector(DemIndex d, const ExecState& state, std::size_t line) {
    std::uint64_t shifted = 0;
    if (!checked_add<std::uint64_t>(d, state.offset, shifted) || shifted > U32_MAX) {
        return std::unexpected(Failure{
            "detector D" + fmt::display(d) + " shifted by " + fmt::display(state.offset) + " exceeds u32", line});
    }
    return static_cast<DemIndex>(shifted);
}

// Checks that the current offset keeps every detector of `instr` within
// DemIndex and raises the largest detector and observable seen. The targets
// are read again only to name the first one that overflows.
std::optional<Failure> shift_and_raise(const Instr& instr, ExecState& state) {
    if (instr.max_detector >= 0) {
        const auto largest = static_cast<std::uint64_t>(instr.max_detector);
        if (state.offset > U32_MAX - largest) {
            for (std::string_view token : split_tokens(instr.target_text)) {
                if (token == "^") continue;
                auto target = parse_target(token, instr.line);
                if (!target || target->observable) continue;
                if (auto shifted = shift_detector(target->index, state, instr.line); !shifted) return shifted.error();
            }
            invariant_failure("shift_and_raise: no detector overflows past the largest one");
        }
        state.max_detector = std::max(state.max_detector, static_cast<std::int64_t>(largest + state.offset));
    }
    state.max_observable = std::max(state.max_observable, instr.max_observable);
    return std::nullopt;
}

// `last_run`: the instruction never runs again, so its mechanism can be moved out.
std::optional<Failure> exec_leaf(Instr& instr, bool last_run, ExecState& state) {
    switch (instr.kind) {
        case Instr::Kind::Detector:
        case Instr::Kind::LogicalObservable:
            return shift_and_raise(instr, state);
        case Instr::Kind::ShiftDetectors: {
            std::uint64_t next = 0;
            if (!checked_add(state.offset, instr.amount, next)) {
                return Failure{"detector offset " + fmt::display(state.offset) + " + " + fmt::display(instr.amount) +
                                   " overflows u64",
                               instr.line};
            }
            state.offset = next;
            return std::nullopt;
        }
        case Instr::Kind::Error: {
            if (auto failure = shift_and_raise(instr, state)) return failure;
            // In range: every index is at most max_detector, checked above.
            DemError error = last_run ? std::move(instr.mechanism) : instr.mechanism;
            const auto offset = static_cast<DemIndex>(state.offset <= U32_MAX ? state.offset : 0);
            for (DemIndex& d : error.detectors) d += offset;
            if (error.written_components) error.component_shift = state.offset;
            state.errors.push_back(std::move(error));
            return std::nullopt;
        }
        case Instr::Kind::Repeat:
            break;
    }
    invariant_failure("exec_leaf: not a leaf instruction");
}

// Runs the top-level block. A body whose cost is 0 holds no leaf instruction at
// any depth, so running it changes nothing and it is skipped: the loop then
// performs at most one iteration per unit of cost.
std::optional<Failure> exec_blocks(std::vector<Block>& blocks, ExecState& state) {
    struct Frame {
        std::size_t block;
        std::size_t pos;
        std::uint64_t remaining;
    };
    std::vector<Frame> stack{Frame{0, 0, 1}};
    // Frames on the stack that will run their block again after this pass.
    std::size_t repeating = 0;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        Block& block = blocks[frame.block];
        if (frame.pos == block.instrs.size()) {
            if (--frame.remaining == 0) {
                stack.pop_back();
            } else {
                if (frame.remaining == 1) --repeating;
                frame.pos = 0;
            }
            continue;
        }
        Instr& instr = block.instrs[frame.pos++];
        if (instr.kind == Instr::Kind::Repeat) {
            check_index(instr.body, blocks.size(), "exec_blocks: repeat body");
            if (instr.amount > 0 && blocks[instr.body].cost > 0) {
                stack.push_back(Frame{instr.body, 0, instr.amount});
                if (instr.amount > 1) ++repeating;
            }
            continue;
        }
        if (auto failure = exec_leaf(instr, repeating == 0, state)) return failure;
    }
    return std::nullopt;
}

void sort_indices(std::vector<DemIndex>& values) { std::sort(values.begin(), values.end()); }

}  // namespace

void parity_reduce(std::vector<DemIndex>& values) {
    sort_indices(values);
    std::size_t out = 0;
    std::size_t i = 0;
    while (i < values.size()) {
        std::size_t j = i;
        while (j < values.size() && values[j] == values[i]) ++j;
        if ((j - i) % 2 == 1) values[out++] = values[i];
        i = j;
    }
    values.resize(out);
}

DemError DemError::make(std::vector<DemIndex> detectors, std::vector<DemIndex> observables, double p) {
    sort_indices(detectors);
    sort_indices(observables);
    DemError error;
    error.detectors = std::move(detectors);
    error.observables = std::move(observables);
    error.p = p;
    return error;
}

DemError DemError::with_components(std::vector<DemComponent> components, double p) {
    if (components.empty()) return make({}, {}, p);
    if (components.size() == 1)
        return make(std::move(components[0].detectors), std::move(components[0].observables), p);
    DemError error;
    error.p = p;
    for (DemComponent& component : components) {
        sort_indices(component.detectors);
        sort_indices(component.observables);
        error.detectors.insert(error.detectors.end(), component.detectors.begin(), component.detectors.end());
        error.observables.insert(error.observables.end(), component.observables.begin(), component.observables.end());
    }
    parity_reduce(error.detectors);
    parity_reduce(error.observables);
    error.written_components = std::make_shared<const std::vector<DemComponent>>(std::move(components));
    return error;
}

void DemError::shift_into(const std::vector<DemIndex>& written, std::vector<DemIndex>& shifted) const {
    shifted.resize(written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        std::uint64_t value = 0;
        if (!checked_add<std::uint64_t>(written[i], component_shift, value) || value > U32_MAX) {
            invariant_failure("DemError: a component's detector shifted past 32 bits");
        }
        shifted[i] = static_cast<DemIndex>(value);
    }
}

std::vector<DemComponent> DemError::components() const {
    std::vector<DemComponent> out;
    out.reserve(num_components());
    for_each_component([&](const std::vector<DemIndex>& detectors, const std::vector<DemIndex>& observables) {
        out.push_back(DemComponent{detectors, observables});
    });
    return out;
}

bool operator==(const DemError& a, const DemError& b) {
    if (!(a.p == b.p && a.detectors == b.detectors && a.observables == b.observables &&
          a.num_components() == b.num_components())) {
        return false;
    }
    if (a.num_components() == 0) return true;
    // Compared in place: equal when the shifted indices agree.
    for (std::size_t i = 0; i < a.num_components(); ++i) {
        const DemComponent& x = (*a.written_components)[i];
        const DemComponent& y = (*b.written_components)[i];
        if (x.observables != y.observables || x.detectors.size() != y.detectors.size()) return false;
        for (std::size_t j = 0; j < x.detectors.size(); ++j) {
            const std::uint64_t left = std::uint64_t{x.detectors[j]} + a.component_shift;
            if (left != std::uint64_t{y.detectors[j]} + b.component_shift) return false;
        }
    }
    return true;
}

std::expected<DetectorErrorModel, Error> DetectorErrorModel::parse(std::string_view text) {
    std::expected<std::vector<Block>, Failure> blocks = std::unexpected(Failure{});
    try {
        blocks = parse_blocks(text);
    } catch (const AllocationError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw AllocationError("cannot allocate memory to read a detector error model from " + fmt::bytes(text.size()) +
                              " of text");
    }
    if (!blocks) return std::unexpected(Error::dem_parse(blocks.error().line, std::move(blocks.error().message)));
    // The whole unrolled size is known from the parse tree: it is checked
    // before the first mechanism is appended, and a later failure of one of the
    // small lists is reported against it.
    const Block& top = (*blocks)[0];
    auto what = [&] { return "a detector error model flattened to " + fmt::display(top.errors) + " mechanisms"; };
    ExecState state;
    std::optional<Failure> failure;
    allocate_checked(top.bytes, what, [&] {
        state.errors.reserve(static_cast<std::size_t>(top.errors));
        failure = exec_blocks(*blocks, state);
    });
    if (failure) return std::unexpected(Error::dem_parse(failure->line, std::move(failure->message)));
    DetectorErrorModel model;
    model.errors = std::move(state.errors);
    model.num_detectors = static_cast<std::size_t>(state.max_detector + 1);
    model.num_observables = static_cast<std::size_t>(state.max_observable + 1);
    return model;
}

std::string DetectorErrorModel::to_dem_string() const {
    std::string out;
    std::size_t detectors_written = 0;
    std::size_t observables_written = 0;
    auto write_component = [&](const std::vector<DemIndex>& detectors, const std::vector<DemIndex>& observables) {
        for (DemIndex d : detectors) {
            out += " D";
            out += fmt::display(d);
            detectors_written = std::max<std::size_t>(detectors_written, std::size_t{d} + 1);
        }
        for (DemIndex k : observables) {
            out += " L";
            out += fmt::display(k);
            observables_written = std::max<std::size_t>(observables_written, std::size_t{k} + 1);
        }
    };
    for (const DemError& error : errors) {
        out += "error(";
        out += fmt::display(error.p);
        out += ")";
        if (error.num_components() == 0) {
            write_component(error.detectors, error.observables);
        } else {
            bool first = true;
            error.for_each_component([&](const std::vector<DemIndex>& detectors,
                                         const std::vector<DemIndex>& observables) {
                if (!first) out += " ^";
                first = false;
                write_component(detectors, observables);
            });
        }
        out += "\n";
    }
    if (num_detectors > detectors_written) {
        out += "detector D" + fmt::display(static_cast<std::uint64_t>(num_detectors - 1)) + "\n";
    }
    if (num_observables > observables_written) {
        out += "logical_observable L" + fmt::display(static_cast<std::uint64_t>(num_observables - 1)) + "\n";
    }
    return out;
}

}  // namespace nivra::qec
