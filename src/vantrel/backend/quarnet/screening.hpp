// Singleton and separation screening. Both clear the in-use flags (touse == 1 means in use;
// they only ever write 0) and repeat their pass over all fixed effects until a pass drops
// nothing, since a drop can make another group a singleton or constant. Both return whether
// any observation is still in use. Single-threaded; the group indexes must have passed
// check_index_ranges.
#pragma once

#include <cstdint>
#include <vector>

#include "groupindex.hpp"

namespace quarnet {

// Drops observations that are alone (among those in use) in a group of some fixed effect.
bool drop_singletons(int64_t N, const std::vector<GroupIndex> &fes, int64_t *touse);

// Drops whole groups whose in-use values of the dependent variable x are all 0, and groups
// with a single observation in use.
bool sep(const double *x, int64_t N, const std::vector<GroupIndex> &fes, int64_t *touse);

}  // namespace quarnet
