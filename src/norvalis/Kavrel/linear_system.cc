#include "linear_system.h"

#include <algorithm>
#include <bit>

namespace norvalis::kavrel {

LinearSystem expand(const LinearSystem& system) {
    const size_t n = system.size, padded = std::bit_ceil(std::max<size_t>(n, 1));
    LinearSystem out;
    out.size = padded;
    out.a.assign(padded * padded, cplx(0));
    out.b.assign(padded, 0.0);
    for (size_t r = 0; r < n; ++r) {
        std::copy_n(system.a.begin() + r * n, n, out.a.begin() + r * padded);
        out.b[r] = system.b[r];
    }
    return out;
}

size_t leading_block(const LinearSystem& system) {
    const size_t n = system.size;
    size_t m = 0;
    for (size_t r = 0; r < n; ++r)
        for (size_t c = 0; c < n; ++c)
            if (system.a[r * n + c] != cplx(0)) m = std::max(m, std::max(r, c) + 1);
    return m;
}

bool is_hermitian(const LinearSystem& system, size_t m) {
    const size_t n = system.size;
    double largest = 0;
    for (size_t r = 0; r < m; ++r)
        for (size_t c = 0; c < m; ++c) largest = std::max(largest, std::abs(system.a[r * n + c]));
    for (size_t r = 0; r < m; ++r)
        for (size_t c = 0; c <= r; ++c)
            if (std::abs(system.a[r * n + c] - std::conj(system.a[c * n + r])) > 1e-10 * largest)
                return false;
    return true;
}

std::vector<cplx> hermitian_form(const LinearSystem& system, size_t m, bool hermitian, size_t half,
                                 double pad) {
    const size_t n = system.size;
    const size_t dim = hermitian ? half : 2 * half;
    std::vector<cplx> h(dim * dim, cplx(0));
    if (hermitian) {
        for (size_t r = 0; r < m; ++r)
            for (size_t c = 0; c < m; ++c)  // exactly Hermitian: the mean of A and A^dagger
                h[r * dim + c] = (system.a[r * n + c] + std::conj(system.a[c * n + r])) / 2.0;
        for (size_t d = m; d < dim; ++d) h[d * dim + d] = pad;
        return h;
    }
    for (size_t r = 0; r < half; ++r) {
        for (size_t c = 0; c < half; ++c) {
            const cplx v = r < m && c < m ? system.a[r * n + c] : (r == c ? cplx(pad) : cplx(0));
            h[r * dim + half + c] = v;
            h[(half + c) * dim + r] = std::conj(v);
        }
    }
    return h;
}

}  // namespace norvalis::kavrel
