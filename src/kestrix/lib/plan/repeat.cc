#include "kestrix/lib/plan/repeat.h"

#include <cmath>
#include <utility>
#include <vector>

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

std::vector<cplx> multiply(const std::vector<cplx>& a, const std::vector<cplx>& b, int dim) {
    std::vector<cplx> out(size_t(dim) * dim, cplx(0));
    for (int r = 0; r < dim; ++r)
        for (int k = 0; k < dim; ++k) {
            const cplx x = a[r * dim + k];
            if (x == cplx(0)) continue;
            for (int c = 0; c < dim; ++c) out[r * dim + c] += x * b[k * dim + c];
        }
    return out;
}

}  // namespace

bool same_block(const Block& a, const Block& b) {
    return a.dagger == b.dagger && a.controls == b.controls && same_items(*a.body, *b.body);
}

bool power_is_cheaper(int n, int width, size_t body_steps, uint64_t copies, int controls) {
    const double dim = std::ldexp(1.0, width);
    const double state = std::ldexp(1.0, n);
    const double direct = double(copies) * double(body_steps) * state;
    const double power =
        2 * (std::log2(double(copies)) + 1) * dim * dim * dim + dim * std::ldexp(state, -controls);
    return power < direct;
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
