#include "kestrix/lib/plan/repeat.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>
#include <vector>

#include "kestrix/lib/kernels/kernels.h"

namespace kestrix {

namespace {

// Compares with a list of pairs still to compare rather than by recursion: blocks may nest
// a million deep.
bool same_items(const ItemList& first, const ItemList& second) {
    std::vector<std::pair<const ItemList*, const ItemList*>> todo{{&first, &second}};
    while (!todo.empty()) {
        const auto [a, b] = todo.back();
        todo.pop_back();
        if (a == b) continue;
        if (a->size() != b->size()) return false;
        for (size_t k = 0; k < a->size(); ++k) {
            const Gate* ga = std::get_if<Gate>(&(*a)[k].value);
            const Gate* gb = std::get_if<Gate>(&(*b)[k].value);
            if (ga && gb) {
                if (!(*ga == *gb)) return false;
                continue;
            }
            if (ga || gb) return false;
            const Block& ba = std::get<Block>((*a)[k].value);
            const Block& bb = std::get<Block>((*b)[k].value);
            if (ba.dagger != bb.dagger || ba.controls != bb.controls) return false;
            todo.emplace_back(ba.body.get(), bb.body.get());
        }
    }
    return true;
}

std::vector<cplx> multiply_plain(const std::vector<cplx>& a, const std::vector<cplx>& b, int dim) {
    std::vector<cplx> out(size_t(dim) * dim, cplx(0));
    for (int r = 0; r < dim; ++r)
        for (int k = 0; k < dim; ++k) {
            const cplx x = a[r * dim + k];
            if (x == cplx(0)) continue;
            for (int c = 0; c < dim; ++c) out[r * dim + c] += x * b[k * dim + c];
        }
    return out;
}

// a b by the dense kernel: b's columns, one after another, form a state of 2k qubits
// whose low k qubits a acts on, so wide products get the kernel's vector loops and
// threads (a 256 x 256 product takes milliseconds, not a tenth of a second).
std::vector<cplx> multiply(const std::vector<cplx>& a, const std::vector<cplx>& b, int dim) {
    const int k = std::countr_zero(unsigned(dim));
    if (dim < 8 || !std::has_single_bit(unsigned(dim)) || k > kMaxWideQubits)
        return multiply_plain(a, b, dim);
    const size_t d = size_t(dim);
    std::vector<cplx> columns(d * d);
    for (size_t r = 0; r < d; ++r)
        for (size_t c = 0; c < d; ++c) columns[c * d + r] = b[r * d + c];
    std::vector<int> qubits(k);
    for (int j = 0; j < k; ++j) qubits[j] = j;
    apply_dense(columns.data(), 2 * k, qubits.data(), k, 0, 0, a.data());
    std::vector<cplx> out(d * d);
    for (size_t r = 0; r < d; ++r)
        for (size_t c = 0; c < d; ++c) out[r * d + c] = columns[c * d + r];
    return out;
}

}  // namespace

bool same_block(const Block& a, const Block& b) {
    return a.dagger == b.dagger && a.controls == b.controls && same_items(*a.body, *b.body);
}

// One unit of work is an amplitude update of one gate step or one complex multiply-add of
// the dense kernels: measured at 22 qubits (Melvo's operator on 10 qubits, AVX-512), a
// step of its copies, fused and cache-blocked, takes 0.13 ns per amplitude and the wide
// kernel 0.12 to 0.16 ns per multiply-add, in products of blocks as in passes.
bool power_is_cheaper(int n, int width, size_t body_steps, uint64_t copies, int controls,
                      size_t squares_held) {
    if (copies == 0) return false;
    const double dim = std::ldexp(1.0, width);
    const double state = std::ldexp(1.0, n);
    const double direct = double(copies) * double(body_steps) * state;
    // m itself: the body's steps run on the dim columns of the matrix.
    const double matrix = squares_held ? 0 : double(body_steps) * dim * dim;
    const int squares_needed = std::bit_width(copies) - 1;
    const double products =
        std::max(0.0, double(squares_needed + 1) - double(std::max<size_t>(squares_held, 1))) +
        double(std::popcount(copies) - 1);
    const double power = matrix + products * dim * dim * dim + dim * std::ldexp(state, -controls);
    return power < direct;
}

bool join_powers(Op& chain, const Op& next, int n) {
    // The lanes of double precision's widest variant (4 amplitudes, 2 qubits): a wide
    // multiplexed block selecting on a single-precision lane (qubit 2 on AVX-512) runs one
    // controlled block per pattern instead (apply_op).
    constexpr uint64_t kLanes = (uint64_t{1} << 2) - 1;
    // Patterns enumerated per join: more select qubits would never pay for their products.
    constexpr int kMaxSelectQubits = 12;
    const bool multiplexed = chain.kind == OpKind::Multiplexed;
    if (next.kind != OpKind::Dense || chain.qubits != next.qubits ||
        !(chain.kind == OpKind::Dense || (multiplexed && chain.control_mask == 0)))
        return false;
    const uint64_t select = multiplexed ? chain.select_mask : chain.control_mask;
    const uint64_t joined = select | next.control_mask;
    const int s = std::popcount(select), s2 = std::popcount(joined);
    const int k = int(chain.qubits.size());
    // The unrolled kernels (k <= kMaxDenseQubits) build a table from the block on every
    // call: one call per pattern then costs more than the sweeps saved (Melvo, 5 and 6
    // qubits: 40 % and 25 % slower joined).
    if ((joined & kLanes) || s2 > kMaxSelectQubits || k <= kMaxDenseQubits) return false;
    const size_t entries = size_t{1} << (2 * k);
    const std::vector<uint64_t> old_values =
        multiplexed ? chain.select_values : std::vector<uint64_t>{select};
    // Work in the units of power_is_cheaper: a k-qubit block costs 2^k per amplitude it
    // touches, a product of two blocks 2^(3k).
    const double dim = std::ldexp(1.0, k);
    uint64_t products = 0;
    std::vector<uint64_t> patterns;
    for (uint64_t v = joined;; v = (v - 1) & joined) {
        const bool has_old =
            std::find(old_values.begin(), old_values.end(), v & select) != old_values.end();
        const bool switched = (v & next.control_mask) == next.control_mask;
        if (has_old || switched) patterns.push_back(v);
        products += has_old && switched;
        if (v == 0) break;
    }
    const double before = double(old_values.size()) * std::ldexp(dim, n - s) +
                          std::ldexp(dim, n - std::popcount(next.control_mask));
    const double after =
        double(patterns.size()) * std::ldexp(dim, n - s2) + double(products) * dim * dim * dim;
    // The table of blocks stays within the size of the state.
    if (after >= before || double(patterns.size()) * dim * dim > std::ldexp(1.0, n)) return false;
    std::vector<cplx> m;
    m.reserve(patterns.size() * entries);
    const size_t d = size_t(1) << k;
    for (uint64_t v : patterns) {
        const size_t i = size_t(std::find(old_values.begin(), old_values.end(), v & select) -
                                old_values.begin());
        const bool has_old = i < old_values.size();
        const bool switched = (v & next.control_mask) == next.control_mask;
        const auto old_begin = chain.m.begin() + ptrdiff_t(i * entries);
        if (has_old && switched) {
            const std::vector<cplx> old(old_begin, old_begin + ptrdiff_t(entries));
            const std::vector<cplx> product = multiply(old, next.m, int(d));
            m.insert(m.end(), product.begin(), product.end());
        } else if (has_old) {
            m.insert(m.end(), old_begin, old_begin + ptrdiff_t(entries));
        } else {
            m.insert(m.end(), next.m.begin(), next.m.end());
        }
    }
    chain.kind = OpKind::Multiplexed;
    chain.control_mask = 0;
    chain.select_mask = joined;
    chain.select_values = std::move(patterns);
    chain.m = std::move(m);
    return true;
}

std::vector<cplx> matrix_power(std::vector<std::vector<cplx>>& squares, int dim, uint64_t power) {
    std::vector<cplx> result;
    for (size_t j = 0; power >> j; ++j) {
        if (j == squares.size()) squares.push_back(multiply(squares[j - 1], squares[j - 1], dim));
        if (!((power >> j) & 1)) continue;
        result = result.empty() ? squares[j] : multiply(result, squares[j], dim);
    }
    if (result.empty()) {  // the power 0
        result.assign(size_t(dim) * dim, cplx(0));
        for (int d = 0; d < dim; ++d) result[d * dim + d] = 1;
    }
    return result;
}

std::vector<cplx> matrix_power(const std::vector<cplx>& m, int dim, uint64_t power) {
    std::vector<cplx> result(size_t(dim) * dim, cplx(0));
    for (int d = 0; d < dim; ++d) result[d * dim + d] = 1;
    std::vector<cplx> base = m;
    while (power) {
        if (power & 1) result = multiply(result, base, dim);
        power >>= 1;
        if (power) base = multiply(base, base, dim);
    }
    return result;
}

}  // namespace kestrix
