#include "idsort.hpp"

#include <string>
#include <vector>

#include "common.hpp"

namespace quarnet {

namespace {

void check_keys(const int64_t *keys, int64_t n, int64_t n_groups, const std::string &name) {
    for (int64_t i = 0; i < n; ++i)
        if (keys[i] < 0 || keys[i] >= n_groups)
            reject(name + ": entry " + num(i) + " = " + num(keys[i]) + " is not in [0, " + num(n_groups) + ")");
}

// One pass of a stable counting sort, shared by both functions: writes the rows row_at(0),
// ..., row_at(n-1) to out[0:n] ordered by keys[row], keeping their order within a key.
// The keys must lie in [0, n_groups).
template <class RowAt>
void sort_by_key(const int64_t *keys, int64_t n, int64_t n_groups, const RowAt &row_at, int64_t *out) {
    // next[g] = first free output position of key g: the prefix sums of the key counts
    std::vector<int64_t> next(static_cast<size_t>(n_groups) + 1, 0);
    for (int64_t i = 0; i < n; ++i) ++next[keys[i] + 1];
    for (int64_t g = 0; g < n_groups; ++g) next[g + 1] += next[g];
    for (int64_t k = 0; k < n; ++k) {
        const int64_t row = row_at(k);
        out[next[keys[row]]++] = row;
    }
}

}  // namespace

void counting_sort(const int64_t *keys, int64_t n, int64_t n_groups, int64_t *out) {
    if (n_groups < 0) reject("n_groups = " + num(n_groups) + " must not be negative");
    check_keys(keys, n, n_groups, "keys");
    sort_by_key(keys, n, n_groups, [](int64_t i) { return i; }, out);
}

void pair_ranks(const int64_t *a, int64_t G_a, const int64_t *b, int64_t G_b, int64_t n, int64_t *ranks,
                int64_t *order) {
    if (G_a < 0 || G_b < 0) reject("G_a = " + num(G_a) + " and G_b = " + num(G_b) + " must not be negative");
    check_keys(a, n, G_a, "a");
    // least significant key first: the rows sorted by b (checked there), in `ranks` as scratch
    counting_sort(b, n, G_b, ranks);
    // then a stable counting sort of those by a
    sort_by_key(a, n, G_a, [ranks](int64_t k) { return ranks[k]; }, order);
    // number the runs of equal pairs in sorted order
    int64_t rank = -1, last_a = -1, last_b = -1;
    for (int64_t k = 0; k < n; ++k) {
        const int64_t row = order[k];
        if (a[row] != last_a || b[row] != last_b) {
            ++rank;
            last_a = a[row];
            last_b = b[row];
        }
        ranks[row] = rank;
    }
}

namespace {

int64_t find_root(int64_t *parent, int64_t v) {
    while (parent[v] != v) {
        parent[v] = parent[parent[v]];  // path halving
        v = parent[v];
    }
    return v;
}

}  // namespace

template <class H>
void bipartite_components(const H *heads, const int64_t *tails, const uint8_t *mask, int64_t n, int64_t levels,
                          int64_t keys, int64_t *labels) {
    const int64_t nodes = levels + keys;
    for (int64_t v = 0; v < nodes; ++v) labels[v] = v;
    for (int64_t i = 0; i < n; ++i) {
        if (mask != nullptr && mask[i] == 0) continue;
        int64_t a = find_root(labels, static_cast<int64_t>(heads[i]));
        int64_t b = find_root(labels, levels + tails[i]);
        if (a == b) continue;
        // the smaller root stays: every component ends labelled by its smallest node
        if (a < b)
            labels[b] = a;
        else
            labels[a] = b;
    }
    for (int64_t v = 0; v < nodes; ++v) labels[v] = labels[labels[v]];  // parents precede: one pass
}

template void bipartite_components(const int64_t *, const int64_t *, const uint8_t *, int64_t, int64_t, int64_t,
                                   int64_t *);
template void bipartite_components(const int32_t *, const int64_t *, const uint8_t *, int64_t, int64_t, int64_t,
                                   int64_t *);

}  // namespace quarnet
