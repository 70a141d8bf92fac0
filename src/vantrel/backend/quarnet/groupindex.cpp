#include "groupindex.hpp"

#include <vector>

#include "common.hpp"

namespace quarnet {

namespace {

std::string group_text(const GroupIndex &g, int64_t grp) {
    return g.panelmat_name + ": row " + std::to_string(grp) + " = [" + std::to_string(g.start(grp)) +
           ", " + std::to_string(g.end(grp)) + "]";
}

void check_sortvec_entry(const GroupIndex &g, int64_t k, int64_t n_rows) {
    const int64_t row = g.row(k);
    if (row < 0 || row >= n_rows)
        reject(g.sortvec_name + ": entry " + std::to_string(k) + " = " + std::to_string(row) +
               " is not a row position in [0, " + std::to_string(n_rows) + ")");
}

void check_panelmat_bounds(const GroupIndex &g) {
    for (int64_t grp = 0; grp < g.N_panelmat; ++grp)
        if (g.start(grp) <= g.end(grp) && (g.start(grp) < 0 || g.end(grp) >= g.sortvec_len))
            reject(group_text(g, grp) + " lies outside the positions [0, " +
                   std::to_string(g.sortvec_len) + ") of " + g.sortvec_name);
}

}  // namespace

void check_panelmat_shape(int64_t rows, int64_t cols, int64_t N_panelmat, const std::string &panelmat_name,
                          const std::string &n_panelmat_name) {
    if (cols != 2)
        reject(panelmat_name + " has " + std::to_string(cols) + " columns, a [start, end] table has 2");
    if (N_panelmat < 0 || N_panelmat > rows)
        reject(n_panelmat_name + " = " + std::to_string(N_panelmat) + " must lie in [0, " +
               std::to_string(rows) + "], the rows of " + panelmat_name);
}

void check_index_ranges(const GroupIndex &g, int64_t n_rows) {
    for (int64_t k = 0; k < g.sortvec_len; ++k) check_sortvec_entry(g, k, n_rows);
    check_panelmat_bounds(g);
}

void check_disjoint_groups(const GroupIndex &g, int64_t n_rows) {
    if (g.sortvec_len != n_rows)
        reject(g.sortvec_name + ": length " + std::to_string(g.sortvec_len) +
               " differs from the number of rows " + std::to_string(n_rows));
    // A bitset rather than a byte per row: the random-order marks of a scattered fixed
    // effect then stay within the caches.
    std::vector<uint64_t> seen(static_cast<size_t>(n_rows / 64 + 1), 0);
    auto bit = [](int64_t i) { return uint64_t{1} << (i % 64); };
    for (int64_t k = 0; k < n_rows; ++k) {
        check_sortvec_entry(g, k, n_rows);
        const int64_t row = g.row(k);
        if (seen[row / 64] & bit(row))
            reject(g.sortvec_name + ": row " + std::to_string(row) +
                   " appears twice, so it is not a permutation of the rows");
        seen[row / 64] |= bit(row);
    }
    check_panelmat_bounds(g);
    // sortvec is a permutation, so every bit of `seen` is now set; reuse it to clear the
    // positions that groups claim. Stops at the first position claimed twice: O(N + G).
    for (int64_t grp = 0; grp < g.N_panelmat; ++grp)
        for (int64_t k = g.start(grp); k <= g.end(grp); ++k) {
            if (!(seen[k / 64] & bit(k)))
                reject(group_text(g, grp) + " overlaps an earlier group at position " + std::to_string(k));
            seen[k / 64] &= ~bit(k);
        }
}

void check_no_overlap(const void *written, size_t written_bytes, const std::string &written_name,
                      const void *read, size_t read_bytes, const std::string &read_name) {
    const auto w = reinterpret_cast<uintptr_t>(written), r = reinterpret_cast<uintptr_t>(read);
    if (written_bytes > 0 && read_bytes > 0 && w < r + read_bytes && r < w + written_bytes)
        reject(written_name + " shares memory with " + read_name);
}

void check_index_not_written(const GroupIndex &g, const void *written, size_t written_bytes,
                             const std::string &written_name) {
    check_no_overlap(written, written_bytes, written_name, g.sortvec,
                     static_cast<size_t>(g.sortvec_len) * sizeof(int64_t), g.sortvec_name);
    check_no_overlap(written, written_bytes, written_name, g.panelmat,
                     static_cast<size_t>(g.N_panelmat) * 2 * sizeof(int64_t), g.panelmat_name);
}

}  // namespace quarnet
