// Sorting rows by dense ids: the counting sort behind every group index of the driver
// (sortvec), and the lexicographic numbering of pairs of ids by which the driver combines
// id columns; and the connected components of the bipartite graph that pairs of ids
// form (the separation certificate's links). Each function checks its arguments first (std::invalid_argument naming the
// argument) and only then writes any array.
#pragma once

#include <cstdint>

namespace quarnet {

// Stable counting sort of dense keys in [0, n_groups): out[0:n] lists the positions of
// key 0, then those of key 1, ..., each in increasing order. O(n + n_groups).
void counting_sort(const int64_t *keys, int64_t n, int64_t n_groups, int64_t *out);

// Dense ids of the pairs (a[i], b[i]) of ids in [0, G_a) x [0, G_b), numbered in
// lexicographic order, into ranks[0:n]; order[0:n] receives the rows sorted by pair,
// stably. Two counting sorts (b, then a), so O(n + G_a + G_b) whatever the number of
// distinct pairs. Rejects ids outside their range before writing anything.
void pair_ranks(const int64_t *a, int64_t G_a, const int64_t *b, int64_t G_b, int64_t n, int64_t *ranks,
                int64_t *order);

// The connected components of the bipartite graph on `levels` + `keys` nodes with an edge
// from level heads[i] to key tails[i] for each row i with mask[i] != 0 (mask null: every
// row): into labels[0 : levels + keys] (the levels' first, then the keys'), each node's
// component as the smallest node in it. Union by the smaller root with path halving:
// O(n alpha(n)), the edges read once in row order, no graph built. Ids are checked by the
// caller.
template <class H>
void bipartite_components(const H *heads, const int64_t *tails, const uint8_t *mask, int64_t n, int64_t levels,
                          int64_t keys, int64_t *labels);

}  // namespace quarnet
