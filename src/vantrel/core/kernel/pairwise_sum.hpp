// Pairwise summation in NumPy's order for a contiguous run: blocks of 128
// with eight accumulators, halves split on multiples of eight. A weight row's
// total is part of every rebalance's arithmetic, so its order is too.
#pragma once

#include <cstddef>

namespace vantrel::kernel {

inline double pairwise_sum(const double* a, std::ptrdiff_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::ptrdiff_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// The same sum of n non-negative cells of which only those at the ascending
// offsets [first, last) may be nonzero, `cell(k)` giving cell k: the same tree
// of additions without the additions of +0.0, which change no such sum.
template <class Cell>
double sparse_pairwise_sum(const int* first, const int* last, std::ptrdiff_t lo, std::ptrdiff_t n,
                           const Cell& cell) {
    if (first == last) return 0.0;
    if (n < 8) {
        double res = 0.0;
        for (; first != last; ++first) res += cell(*first);
        return res;
    }
    if (n <= 128) {
        double r[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        const std::ptrdiff_t body = lo + (n - n % 8);
        for (; first != last && *first < body; ++first) r[(*first - lo) % 8] += cell(*first);
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; first != last; ++first) res += cell(*first);
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    const int* mid = first;
    while (mid != last && *mid < lo + n2) ++mid;
    return sparse_pairwise_sum(first, mid, lo, n2, cell) +
           sparse_pairwise_sum(mid, last, lo + n2, n - n2, cell);
}

}  // namespace vantrel::kernel
