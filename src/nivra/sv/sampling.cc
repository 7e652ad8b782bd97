#include "nivra/sv/sampling.h"

#include <bit>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/sv/measure.h"

namespace nivra::sv::sampling {

AliasTable AliasTable::from_scaled(ScratchVec<double> scaled) {
    const std::size_t n = scaled.size();
    check_invariant(n != 0 && std::has_single_bit(n) && n <= (std::size_t{1} << 32),
                    "AliasTable: size is not a power of two below 2^32");
    AliasTable table;
    table.mask_ = n - 1;
    table.alias_.assign(n, 0);
    if (n == 1) {
        scaled[0] = 1.0;
        table.prob_ = std::move(scaled);
        return table;
    }
    // prob[s] is set to scaled[s] when s leaves the small stack and scaled[s]
    // never changes after that, so the two arrays share storage.
    ScratchVec<double>& prob = scaled;
    ScratchVec<std::uint32_t>& alias = table.alias_;
    // Both stacks in one array: small grows up from the front, large down
    // from the back; together they never hold more than n indices.
    ScratchVec<std::uint32_t> stacks(n);
    std::size_t small = 0;  // small stack: stacks[0 .. small)
    std::size_t large = 0;  // large stack: stacks[n - large .. n), top at n - large
    for (std::size_t i = 0; i < n; ++i) {
        if (scaled[i] < 1.0) {
            stacks[small++] = static_cast<std::uint32_t>(i);
        } else {
            stacks[n - 1 - large++] = static_cast<std::uint32_t>(i);
        }
    }
    while (small > 0 && large > 0) {
        const std::uint32_t s = stacks[--small];
        const std::uint32_t l = stacks[n - large--];
        alias[s] = l;
        scaled[l] = (scaled[s] + scaled[l]) - 1.0;
        if (scaled[l] < 1.0) {
            stacks[small++] = l;
        } else {
            stacks[n - 1 - large++] = l;
        }
    }
    while (large > 0) {
        const std::uint32_t i = stacks[n - large--];
        prob[i] = 1.0;
        alias[i] = i;
    }
    while (small > 0) {
        const std::uint32_t i = stacks[--small];
        prob[i] = 1.0;
        alias[i] = i;
    }
    table.prob_ = std::move(scaled);
    return table;
}

std::expected<AliasTable, BackendError> build_alias_table(const CpuState& state) {
    if (auto shape = check_shape(state); !shape) {
        return std::unexpected(shape.error());
    }
    check_invariant(state.amps.size() <= (std::size_t{1} << 32),
                    "build_alias_table: state too wide for an alias table");
    // The scaled probabilities (8 bytes an entry, kept as `prob`), the aliases
    // (4) and the construction's stacks (4).
    const std::size_t len = state.amps.size();
    return allocate_checked(
        std::uint64_t{len} * 16,
        [&] { return "the sampling tables of a " + fmt::display(state.num_qubits) + "-qubit state"; },
        [&]() -> std::expected<AliasTable, BackendError> {
            ScratchVec<double> scaled(len);
            if (auto ok = validate_state_into(state, static_cast<double>(len), scaled.data()); !ok) {
                return std::unexpected(ok.error());
            }
            return AliasTable::from_scaled(std::move(scaled));
        });
}

std::expected<void, BackendError> sample_chunked(const CpuState& state, std::uint32_t shots, StdRng& rng,
                                                 backend::OutcomeSink sink, void* context) {
    if (shots == 0) {
        // Validation still decides whether the call fails; no table, no draw.
        return check_state(state);
    }
    auto table = build_alias_table(state);
    if (!table) {
        return std::unexpected(table.error());
    }
    std::vector<std::uint64_t> chunk;
    chunk.reserve(std::min<std::size_t>(shots, SAMPLE_CHUNK));
    std::uint64_t remaining = shots;
    while (remaining > 0) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, SAMPLE_CHUNK));
        chunk.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            chunk[i] = table->pick(rng.next_u64());
        }
        sink(context, chunk);
        remaining -= count;
    }
    return {};
}

std::expected<std::map<std::uint64_t, std::uint64_t>, BackendError> sample_counts(const CpuState& state,
                                                                                  std::uint32_t shots, StdRng& rng) {
    if (shots == 0) {
        if (auto ok = check_state(state); !ok) {
            return std::unexpected(ok.error());
        }
        return std::map<std::uint64_t, std::uint64_t>{};
    }
    auto table = build_alias_table(state);
    if (!table) {
        return std::unexpected(table.error());
    }
    const std::size_t n = table->prob().size();
    if (n <= (std::size_t{1} << 20) || n / 8 <= shots) {
        // 32-bit counters suffice: shots < 2^32.
        ScratchVec<std::uint32_t> dense = allocate_checked(
            std::uint64_t{n} * sizeof(std::uint32_t),
            [&] { return "the outcome counters of a " + fmt::display(state.num_qubits) + "-qubit state"; },
            [&] { return ScratchVec<std::uint32_t>(n, 0); });
        for (std::uint32_t s = 0; s < shots; ++s) {
            ++dense[table->pick(rng.next_u64())];
        }
        std::map<std::uint64_t, std::uint64_t> counts;
        for (std::size_t i = 0; i < n; ++i) {
            if (dense[i] != 0) {
                counts.emplace_hint(counts.end(), i, dense[i]);
            }
        }
        return counts;
    }
    backend::OutcomeCounter counter;
    std::vector<std::uint64_t> chunk;
    for (std::uint64_t remaining = shots; remaining > 0;) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, SAMPLE_CHUNK));
        chunk.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            chunk[i] = table->pick(rng.next_u64());
        }
        counter.add(chunk);
        remaining -= count;
    }
    return counter.finish();
}

std::expected<std::vector<std::uint64_t>, BackendError> sample(const CpuState& state, std::uint32_t shots,
                                                               StdRng& rng) {
    std::vector<std::uint64_t> outcomes;
    outcomes.reserve(shots);
    auto append = [](void* context, std::span<const std::uint64_t> run) {
        auto* out = static_cast<std::vector<std::uint64_t>*>(context);
        out->insert(out->end(), run.begin(), run.end());
    };
    if (auto ok = sample_chunked(state, shots, rng, append, &outcomes); !ok) {
        return std::unexpected(ok.error());
    }
    return outcomes;
}

}  // namespace nivra::sv::sampling
