#include "screening.hpp"

#include <cmath>

namespace quarnet {

namespace {

bool any_in_use(int64_t N, const int64_t *touse) {
    for (int64_t i = 0; i < N; ++i)
        if (touse[i] == 1) return true;
    return false;
}

// Repeats pass(fe) over the fixed effects in order until a whole round changes nothing.
// Changes made for one fixed effect are seen by the ones after it in the same round.
template <class GroupPass>
void until_stable(const std::vector<GroupIndex> &fes, const GroupPass &pass) {
    bool change = !fes.empty();
    while (change) {
        change = false;
        for (const GroupIndex &fe : fes)
            for (int64_t g = 0; g < fe.N_panelmat; ++g)
                if (fe.start(g) <= fe.end(g) && pass(fe, fe.start(g), fe.end(g))) change = true;
    }
}

}  // namespace

bool drop_singletons(int64_t N, const std::vector<GroupIndex> &fes, int64_t *touse) {
    until_stable(fes, [&](const GroupIndex &fe, int64_t a, int64_t b) {
        int64_t count = 0, last = -1;
        for (int64_t k = a; k <= b; ++k) {
            if (touse[fe.row(k)] != 1) continue;
            if (++count > 1) return false;  // two rows in use: not a singleton
            last = k;
        }
        if (count != 1) return false;  // no row in use: nothing to drop
        touse[fe.row(last)] = 0;
        return true;
    });
    return any_in_use(N, touse);
}

bool sep(const double *x, int64_t N, const std::vector<GroupIndex> &fes, int64_t *touse) {
    until_stable(fes, [&](const GroupIndex &fe, int64_t a, int64_t b) {
        double firstval = NAN;
        int64_t count = 0;
        for (int64_t k = a; k <= b; ++k) {
            const int64_t i = fe.row(k);
            if (touse[i] != 1) continue;
            ++count;
            if (std::isnan(firstval))
                firstval = x[i];
            else if (!(x[i] == firstval))  // a NaN value also counts as variation
                return false;
        }
        if (std::isnan(firstval) || !(firstval == 0.0 || count == 1)) return false;
        for (int64_t k = a; k <= b; ++k) touse[fe.row(k)] = 0;
        return true;
    });
    return any_in_use(N, touse);
}

}  // namespace quarnet
