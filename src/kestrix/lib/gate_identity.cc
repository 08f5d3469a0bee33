#include "gate_identity.h"

#include <bit>
#include <cstdint>

namespace kestrix {

bool same_gate(const Gate& a, const Gate& b) {
    return a.kind == b.kind && a.dagger == b.dagger && a.qubits == b.qubits &&
           a.controls == b.controls && a.params == b.params && a.cbit == b.cbit &&
           same_matrix(a, b);
}

namespace {

// boost::hash_combine's mixing step, widened to 64 bits.
void mix(uint64_t& h, uint64_t value) { h ^= value + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); }

}  // namespace

size_t gate_hash(const Gate& g) {
    uint64_t h = uint64_t(g.kind) * 2 + uint64_t(g.dagger);
    for (int q : g.qubits) mix(h, uint64_t(q));
    mix(h, 0xffff);  // keeps operands apart from controls
    for (int q : g.controls) mix(h, uint64_t(q));
    // Adding 0.0 turns -0.0 into 0.0, which compare equal and must hash alike.
    for (double p : g.params) mix(h, std::bit_cast<uint64_t>(p + 0.0));
    mix(h, uint64_t(int64_t(g.cbit)));
    if (g.matrix) mix(h, g.matrix->size());  // equal matrices have equal sizes
    return size_t(h);
}

}  // namespace kestrix
