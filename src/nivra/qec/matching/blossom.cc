#include "nivra/qec/matching/blossom.h"

#include <algorithm>
#include <limits>
#include <string>

#include "nivra/core/error.h"

namespace nivra::qec {

namespace {

using Index = Blossom::Index;

// Element j of a cyclic list, with a negative j counting from the end (the
// walks round a blossom step past index 0 in either direction).
template <class T>
T& cyclic(std::vector<T>& list, Index j) {
    Index size = static_cast<Index>(list.size());
    Index wrapped = j < 0 ? j + size : j;
    check_index(static_cast<std::size_t>(wrapped), list.size(), "Blossom: cyclic index");
    return list[static_cast<std::size_t>(wrapped)];
}

Index position_of(const std::vector<Index>& list, Index value) {
    auto it = std::find(list.begin(), list.end(), value);
    check_invariant(it != list.end(), "Blossom: sub-blossom not found in its parent");
    return static_cast<Index>(it - list.begin());
}

std::int64_t add_checked(std::int64_t a, std::int64_t b) {
    std::int64_t out = 0;
    if (!checked_add(a, b, out)) invariant_failure("Blossom: dual variable overflow");
    return out;
}

std::int64_t sub_checked(std::int64_t a, std::int64_t b) {
    std::int64_t out = 0;
    if (__builtin_sub_overflow(a, b, &out)) invariant_failure("Blossom: dual variable overflow");
    return out;
}

}  // namespace

Index Blossom::mate(std::size_t v) const {
    check_index(v, mate_.size(), "Blossom::mate");
    return mate_[v];
}

void Blossom::reset(std::size_t num_vertices, std::span<const BlossomEdge> edges) {
    check_invariant(num_vertices <= static_cast<std::size_t>(std::numeric_limits<Index>::max() / 4),
                    "Blossom: too many vertices");
    n_ = static_cast<Index>(num_vertices);
    const std::size_t n = num_vertices;
    const std::size_t m = edges.size();
    edges_.assign(edges.begin(), edges.end());
    std::int64_t maxweight = 0;
    for (const BlossomEdge& e : edges_) {
        check_invariant(e.i >= 0 && e.j >= 0 && e.i < n_ && e.j < n_ && e.i != e.j, "Blossom: invalid edge");
        maxweight = std::max(maxweight, e.weight);
    }
    endpoint_.resize(2 * m);
    for (std::size_t k = 0; k < m; ++k) {
        endpoint_[2 * k] = edges_[k].i;
        endpoint_[2 * k + 1] = edges_[k].j;
    }
    // neighbend[v] lists, in edge order, the remote endpoint of each edge at v.
    neighbend_offsets_.assign(n + 1, 0);
    for (const BlossomEdge& e : edges_) {
        ++neighbend_offsets_[static_cast<std::size_t>(e.i) + 1];
        ++neighbend_offsets_[static_cast<std::size_t>(e.j) + 1];
    }
    for (std::size_t v = 0; v < n; ++v) neighbend_offsets_[v + 1] += neighbend_offsets_[v];
    neighbend_.resize(2 * m);
    leaves_.assign(neighbend_offsets_.begin(), neighbend_offsets_.end() - 1);  // fill cursors
    for (std::size_t k = 0; k < m; ++k) {
        neighbend_[static_cast<std::size_t>(leaves_[edges_[k].i]++)] = static_cast<Index>(2 * k + 1);
        neighbend_[static_cast<std::size_t>(leaves_[edges_[k].j]++)] = static_cast<Index>(2 * k);
    }
    leaves_.clear();

    mate_.assign(n, -1);
    label_.assign(2 * n, 0);
    labelend_.assign(2 * n, -1);
    inblossom_.resize(n);
    for (std::size_t v = 0; v < n; ++v) inblossom_[v] = static_cast<Index>(v);
    blossomparent_.assign(2 * n, -1);
    if (blossomchilds_.size() < 2 * n) {
        blossomchilds_.resize(2 * n);
        blossomendps_.resize(2 * n);
        blossombestedges_.resize(2 * n);
    }
    for (std::size_t b = 0; b < 2 * n; ++b) {
        blossomchilds_[b].clear();
        blossomendps_[b].clear();
        blossombestedges_[b].clear();
    }
    has_blossombestedges_.assign(2 * n, 0);
    blossombase_.assign(2 * n, -1);
    for (std::size_t v = 0; v < n; ++v) blossombase_[v] = static_cast<Index>(v);
    bestedge_.assign(2 * n, -1);
    unused_blossoms_.resize(n);
    for (std::size_t b = 0; b < n; ++b) unused_blossoms_[b] = static_cast<Index>(n + b);
    dualvar_.assign(2 * n, 0);
    std::fill(dualvar_.begin(), dualvar_.begin() + static_cast<std::ptrdiff_t>(n), maxweight);
    allowedge_.assign(m, 0);
    queue_.clear();
}

void Blossom::blossom_leaves(Index b, std::vector<Index>& out) {
    if (b < n_) {
        out.push_back(b);
        return;
    }
    leaf_stack_.clear();
    leaf_stack_.emplace_back(b, 0);
    while (!leaf_stack_.empty()) {
        auto& [blossom, pos] = leaf_stack_.back();
        const std::vector<Index>& childs = blossomchilds_[blossom];
        if (pos == childs.size()) {
            leaf_stack_.pop_back();
            continue;
        }
        Index t = childs[pos++];
        if (t < n_) {
            out.push_back(t);
        } else {
            leaf_stack_.emplace_back(t, 0);
        }
    }
}

void Blossom::assign_label(Index w, int t, Index p) {
    Index b = inblossom_[w];
    check_invariant(label_[w] == 0 && label_[b] == 0, "Blossom::assign_label: already labelled");
    label_[w] = label_[b] = t;
    labelend_[w] = labelend_[b] = p;
    bestedge_[w] = bestedge_[b] = -1;
    if (t == 1) {
        blossom_leaves(b, queue_);
    } else if (t == 2) {
        Index base = blossombase_[b];
        check_invariant(mate_[base] >= 0, "Blossom::assign_label: T-blossom base is free");
        assign_label(endpoint_[mate_[base]], 1, mate_[base] ^ 1);
    }
}

Index Blossom::scan_blossom(Index v, Index w) {
    // Trace back from v and w alternately, leaving breadcrumbs (label 5), until
    // a breadcrumb is met (a new blossom's base) or both paths end (augmenting path).
    std::vector<Index>& path = leaves_;
    path.clear();
    Index base = -1;
    while (v != -1 || w != -1) {
        Index b = inblossom_[v];
        if (label_[b] & 4) {
            base = blossombase_[b];
            break;
        }
        check_invariant(label_[b] == 1, "Blossom::scan_blossom: expected an S-blossom");
        path.push_back(b);
        label_[b] = 5;
        if (labelend_[b] == -1) {
            v = -1;
        } else {
            v = endpoint_[labelend_[b]];
            b = inblossom_[v];
            check_invariant(label_[b] == 2 && labelend_[b] >= 0, "Blossom::scan_blossom: expected a T-blossom");
            v = endpoint_[labelend_[b]];
        }
        if (w != -1) std::swap(v, w);
    }
    for (Index b : path) label_[b] = 1;
    path.clear();
    return base;
}

void Blossom::add_blossom(Index base, Index k) {
    Index v = edges_[k].i;
    Index w = edges_[k].j;
    Index bb = inblossom_[base];
    Index bv = inblossom_[v];
    Index bw = inblossom_[w];
    check_invariant(!unused_blossoms_.empty(), "Blossom: a blossom slot is free");
    Index b = unused_blossoms_.back();
    unused_blossoms_.pop_back();
    blossombase_[b] = base;
    blossomparent_[b] = -1;
    blossomparent_[bb] = b;
    std::vector<Index>& path = blossomchilds_[b];
    std::vector<Index>& endps = blossomendps_[b];
    path.clear();
    endps.clear();
    while (bv != bb) {
        blossomparent_[bv] = b;
        path.push_back(bv);
        endps.push_back(labelend_[bv]);
        check_invariant(labelend_[bv] >= 0, "Blossom::add_blossom: broken trace");
        v = endpoint_[labelend_[bv]];
        bv = inblossom_[v];
    }
    path.push_back(bb);
    std::reverse(path.begin(), path.end());
    std::reverse(endps.begin(), endps.end());
    endps.push_back(2 * k);
    while (bw != bb) {
        blossomparent_[bw] = b;
        path.push_back(bw);
        endps.push_back(labelend_[bw] ^ 1);
        check_invariant(labelend_[bw] >= 0, "Blossom::add_blossom: broken trace");
        w = endpoint_[labelend_[bw]];
        bw = inblossom_[w];
    }
    check_invariant(label_[bb] == 1, "Blossom::add_blossom: base is not S");
    label_[b] = 1;
    labelend_[b] = labelend_[bb];
    dualvar_[b] = 0;

    leaves_.clear();
    blossom_leaves(b, leaves_);
    for (Index leaf : leaves_) {
        if (label_[inblossom_[leaf]] == 2) queue_.push_back(leaf);
        inblossom_[leaf] = b;
    }

    // Least-slack edges from the new blossom to each other S-blossom.
    bestedgeto_.assign(static_cast<std::size_t>(2 * n_), -1);
    auto consider = [&](Index edge) {
        Index i = edges_[edge].i;
        Index j = edges_[edge].j;
        if (inblossom_[j] == b) std::swap(i, j);
        Index bj = inblossom_[j];
        if (bj != b && label_[bj] == 1 && (bestedgeto_[bj] == -1 || slack(edge) < slack(bestedgeto_[bj]))) {
            bestedgeto_[bj] = edge;
        }
    };
    for (Index sub : path) {
        if (!has_blossombestedges_[sub]) {
            leaves_.clear();
            blossom_leaves(sub, leaves_);
            for (Index leaf : leaves_) {
                for (Index q = neighbend_offsets_[leaf]; q < neighbend_offsets_[leaf + 1]; ++q) {
                    consider(neighbend_[q] / 2);
                }
            }
        } else {
            for (Index edge : blossombestedges_[sub]) consider(edge);
        }
        blossombestedges_[sub].clear();
        has_blossombestedges_[sub] = 0;
        bestedge_[sub] = -1;
    }
    std::vector<Index>& best = blossombestedges_[b];
    best.clear();
    for (Index edge : bestedgeto_) {
        if (edge != -1) best.push_back(edge);
    }
    has_blossombestedges_[b] = 1;
    bestedge_[b] = -1;
    for (Index edge : best) {
        if (bestedge_[b] == -1 || slack(edge) < slack(bestedge_[b])) bestedge_[b] = edge;
    }
}

// Recursion depth is the nesting depth of blossoms, at most n / 2.
void Blossom::expand_blossom(Index b, bool endstage) {
    std::vector<Index>& childs = blossomchilds_[b];
    for (std::size_t c = 0; c < childs.size(); ++c) {
        Index s = childs[c];
        blossomparent_[s] = -1;
        if (s < n_) {
            inblossom_[s] = s;
        } else if (endstage && dualvar_[s] == 0) {
            expand_blossom(s, endstage);
        } else {
            leaves_.clear();
            blossom_leaves(s, leaves_);
            for (Index leaf : leaves_) inblossom_[leaf] = s;
        }
    }
    if (!endstage && label_[b] == 2) {
        // Relabel the sub-blossoms of an expanding T-blossom, from the one
        // through which it got its label round to the base.
        check_invariant(labelend_[b] >= 0, "Blossom::expand_blossom: T-blossom without label end");
        std::vector<Index>& endps = blossomendps_[b];
        Index entrychild = inblossom_[endpoint_[labelend_[b] ^ 1]];
        Index j = position_of(childs, entrychild);
        Index jstep = 0;
        Index endptrick = 0;
        if (j & 1) {
            j -= static_cast<Index>(childs.size());
            jstep = 1;
            endptrick = 0;
        } else {
            jstep = -1;
            endptrick = 1;
        }
        Index p = labelend_[b];
        while (j != 0) {
            label_[endpoint_[p ^ 1]] = 0;
            label_[endpoint_[cyclic(endps, j - endptrick) ^ endptrick ^ 1]] = 0;
            assign_label(endpoint_[p ^ 1], 2, p);
            allowedge_[cyclic(endps, j - endptrick) / 2] = 1;
            j += jstep;
            p = cyclic(endps, j - endptrick) ^ endptrick;
            allowedge_[p / 2] = 1;
            j += jstep;
        }
        Index bv = cyclic(childs, j);
        label_[endpoint_[p ^ 1]] = label_[bv] = 2;
        labelend_[endpoint_[p ^ 1]] = labelend_[bv] = p;
        bestedge_[bv] = -1;
        j += jstep;
        while (cyclic(childs, j) != entrychild) {
            bv = cyclic(childs, j);
            if (label_[bv] == 1) {
                j += jstep;
                continue;
            }
            leaves_.clear();
            blossom_leaves(bv, leaves_);
            Index v = -1;
            for (Index leaf : leaves_) {
                v = leaf;
                if (label_[leaf] != 0) break;
            }
            if (v >= 0 && label_[v] != 0) {
                check_invariant(label_[v] == 2 && inblossom_[v] == bv,
                                "Blossom::expand_blossom: bad sub-blossom label");
                label_[v] = 0;
                label_[endpoint_[mate_[blossombase_[bv]]]] = 0;
                assign_label(v, 2, labelend_[v]);
            }
            j += jstep;
        }
    }
    label_[b] = -1;
    labelend_[b] = -1;
    childs.clear();
    blossomendps_[b].clear();
    blossombase_[b] = -1;
    blossombestedges_[b].clear();
    has_blossombestedges_[b] = 0;
    bestedge_[b] = -1;
    unused_blossoms_.push_back(b);
}

// Recursion depth is the nesting depth of blossoms, at most n / 2.
void Blossom::augment_blossom(Index b, Index v) {
    Index t = v;
    while (blossomparent_[t] != b) t = blossomparent_[t];
    if (t >= n_) augment_blossom(t, v);
    std::vector<Index>& childs = blossomchilds_[b];
    std::vector<Index>& endps = blossomendps_[b];
    Index i = position_of(childs, t);
    Index j = i;
    Index jstep = 0;
    Index endptrick = 0;
    if (i & 1) {
        j -= static_cast<Index>(childs.size());
        jstep = 1;
        endptrick = 0;
    } else {
        jstep = -1;
        endptrick = 1;
    }
    while (j != 0) {
        j += jstep;
        t = cyclic(childs, j);
        Index p = cyclic(endps, j - endptrick) ^ endptrick;
        if (t >= n_) augment_blossom(t, endpoint_[p]);
        j += jstep;
        t = cyclic(childs, j);
        if (t >= n_) augment_blossom(t, endpoint_[p ^ 1]);
        mate_[endpoint_[p]] = p ^ 1;
        mate_[endpoint_[p ^ 1]] = p;
    }
    std::rotate(childs.begin(), childs.begin() + i, childs.end());
    std::rotate(endps.begin(), endps.begin() + i, endps.end());
    blossombase_[b] = blossombase_[childs[0]];
    check_invariant(blossombase_[b] == v, "Blossom::augment_blossom: wrong base after rotation");
}

void Blossom::augment_matching(Index k) {
    const Index ends[2][2] = {{edges_[k].i, 2 * k + 1}, {edges_[k].j, 2 * k}};
    for (const auto& [start, remote] : ends) {
        Index s = start;
        Index p = remote;
        while (true) {
            Index bs = inblossom_[s];
            check_invariant(label_[bs] == 1, "Blossom::augment_matching: expected an S-blossom");
            if (bs >= n_) augment_blossom(bs, s);
            mate_[s] = p;
            if (labelend_[bs] == -1) break;
            Index t = endpoint_[labelend_[bs]];
            Index bt = inblossom_[t];
            check_invariant(label_[bt] == 2 && labelend_[bt] >= 0, "Blossom::augment_matching: expected a T-blossom");
            s = endpoint_[labelend_[bt]];
            Index j = endpoint_[labelend_[bt] ^ 1];
            check_invariant(blossombase_[bt] == t, "Blossom::augment_matching: T-blossom base");
            if (bt >= n_) augment_blossom(bt, j);
            mate_[j] = labelend_[bt];
            p = labelend_[bt] ^ 1;
        }
    }
}

void Blossom::solve(std::size_t num_vertices, std::span<const BlossomEdge> edges) {
    reset(num_vertices, edges);
    if (!edges_.empty()) run();
    for (Index v = 0; v < n_; ++v) {
        if (mate_[v] >= 0) mate_[v] = endpoint_[mate_[v]];
    }
}

void Blossom::start_stage() {
    const Index n = n_;
    std::fill(label_.begin(), label_.end(), 0);
    std::fill(bestedge_.begin(), bestedge_.end(), -1);
    for (Index b = n; b < 2 * n; ++b) {
        blossombestedges_[b].clear();
        has_blossombestedges_[b] = 0;
    }
    std::fill(allowedge_.begin(), allowedge_.end(), 0);
    queue_.clear();
    for (Index v = 0; v < n; ++v) {
        if (mate_[v] == -1 && label_[inblossom_[v]] == 0) assign_label(v, 1, -1);
    }
}

bool Blossom::grow_from_queue() {
    while (!queue_.empty()) {
        Index v = queue_.back();
        queue_.pop_back();
        check_invariant(label_[inblossom_[v]] == 1, "Blossom: queued vertex is not S");
        for (Index q = neighbend_offsets_[v]; q < neighbend_offsets_[v + 1]; ++q) {
            Index p = neighbend_[q];
            Index k = p / 2;
            Index w = endpoint_[p];
            if (inblossom_[v] == inblossom_[w]) continue;
            Wide kslack = 0;
            if (!allowedge_[k]) {
                kslack = slack(k);
                if (kslack <= 0) allowedge_[k] = 1;
            }
            if (allowedge_[k]) {
                if (label_[inblossom_[w]] == 0) {
                    assign_label(w, 2, p ^ 1);
                } else if (label_[inblossom_[w]] == 1) {
                    Index base = scan_blossom(v, w);
                    if (base >= 0) {
                        add_blossom(base, k);
                    } else {
                        augment_matching(k);
                        return true;
                    }
                } else if (label_[w] == 0) {
                    check_invariant(label_[inblossom_[w]] == 2, "Blossom: expected a T-blossom");
                    label_[w] = 2;
                    labelend_[w] = p ^ 1;
                }
            } else if (label_[inblossom_[w]] == 1) {
                Index b = inblossom_[v];
                if (bestedge_[b] == -1 || kslack < slack(bestedge_[b])) bestedge_[b] = k;
            } else if (label_[w] == 0) {
                if (bestedge_[w] == -1 || kslack < slack(bestedge_[w])) bestedge_[w] = k;
            }
        }
    }
    return false;
}

bool Blossom::change_duals() {
    const Index n = n_;
    int deltatype = 1;
    Wide delta = *std::min_element(dualvar_.begin(), dualvar_.begin() + n);
    Index deltaedge = -1;
    Index deltablossom = -1;
    for (Index v = 0; v < n; ++v) {
        if (label_[inblossom_[v]] == 0 && bestedge_[v] != -1) {
            Wide d = slack(bestedge_[v]);
            if (d < delta) {
                delta = d;
                deltatype = 2;
                deltaedge = bestedge_[v];
            }
        }
    }
    for (Index b = 0; b < 2 * n; ++b) {
        if (blossomparent_[b] == -1 && label_[b] == 1 && bestedge_[b] != -1) {
            Wide d = slack(bestedge_[b]) / 2;
            if (d < delta) {
                delta = d;
                deltatype = 3;
                deltaedge = bestedge_[b];
            }
        }
    }
    for (Index b = n; b < 2 * n; ++b) {
        if (blossombase_[b] >= 0 && blossomparent_[b] == -1 && label_[b] == 2 && dualvar_[b] < delta) {
            delta = dualvar_[b];
            deltatype = 4;
            deltablossom = b;
        }
    }
    check_invariant(
        delta >= std::numeric_limits<std::int64_t>::min() && delta <= std::numeric_limits<std::int64_t>::max(),
        "Blossom: dual change overflow");
    const std::int64_t step = static_cast<std::int64_t>(delta);
    for (Index v = 0; v < n; ++v) {
        int l = label_[inblossom_[v]];
        if (l == 1) {
            dualvar_[v] = sub_checked(dualvar_[v], step);
        } else if (l == 2) {
            dualvar_[v] = add_checked(dualvar_[v], step);
        }
    }
    for (Index b = n; b < 2 * n; ++b) {
        if (blossombase_[b] >= 0 && blossomparent_[b] == -1) {
            if (label_[b] == 1) {
                dualvar_[b] = add_checked(dualvar_[b], step);
            } else if (label_[b] == 2) {
                dualvar_[b] = sub_checked(dualvar_[b], step);
            }
        }
    }
    if (deltatype == 1) {
        return false;
    } else if (deltatype == 2) {
        allowedge_[deltaedge] = 1;
        Index i = edges_[deltaedge].i;
        Index j = edges_[deltaedge].j;
        if (label_[inblossom_[i]] == 0) std::swap(i, j);
        check_invariant(label_[inblossom_[i]] == 1, "Blossom: least-slack edge without an S end");
        queue_.push_back(i);
    } else if (deltatype == 3) {
        allowedge_[deltaedge] = 1;
        Index i = edges_[deltaedge].i;
        check_invariant(label_[inblossom_[i]] == 1, "Blossom: least-slack edge without an S end");
        queue_.push_back(i);
    } else {
        expand_blossom(deltablossom, false);
    }
    return true;
}

void Blossom::expand_zero_s_blossoms() {
    const Index n = n_;
    for (Index b = n; b < 2 * n; ++b) {
        if (blossomparent_[b] == -1 && blossombase_[b] >= 0 && label_[b] == 1 && dualvar_[b] == 0) {
            expand_blossom(b, true);
        }
    }
}

void Blossom::run() {
    for (Index stage = 0; stage < n_; ++stage) {
        start_stage();
        bool augmented = false;
        while (!augmented) {
            augmented = grow_from_queue();
            // No augmenting path under the current duals: change them.
            if (!augmented && !change_duals()) break;
        }
        if (!augmented) break;
        expand_zero_s_blossoms();
    }
}

}  // namespace nivra::qec
