#include "touch.hpp"

#include "../demean.hpp"
#include "../grouploops.hpp"

namespace quarnet::bench {

namespace {

// Keeps a loaded value alive (and a stored one from being elided) without any arithmetic.
inline void opaque(double &v) {
#if defined(__x86_64__)
    asm volatile("" : "+x"(v));
#else
    asm volatile("" : "+m"(v));
#endif
}

}  // namespace

void touch_rows(double *x, const int64_t *sortvec, const int64_t *panelmat, int64_t K, int64_t N_panelmat,
                int n_threads) {
    apply_thread_count(n_threads);
    for_each_group_chunk(panelmat, K, N_panelmat, [&](auto width, int64_t a, int64_t b, int64_t c) {
        constexpr int W = decltype(width)::value;
        for (int64_t k = a; k <= b; ++k) {  // the summing pass: loads only
            prefetch_row(x, sortvec, k, b, K, c);
            const double *row = x + sortvec[k] * K + c;
            for (int j = 0; j < W; ++j) {
                double v = row[j];
                opaque(v);
            }
        }
        for (int64_t k = a; k <= b; ++k) {  // the subtracting pass: load and store
            double *row = x + sortvec[k] * K + c;
            for (int j = 0; j < W; ++j) {
                double v = row[j];
                opaque(v);
                row[j] = v;
            }
        }
    });
}

void touch_sweep(double *x, int64_t K, const std::vector<GroupIndex> &fes, int n_threads) {
    in_sweep_order(fes, [&](const GroupIndex &fe) { touch_rows(x, fe.sortvec, fe.panelmat, K, fe.N_panelmat, n_threads); });
}

}  // namespace quarnet::bench
