#pragma once
// Text drawing of a circuit: one row per qubit, gates packed into columns left to right.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kestrix/lib/ir/circuit.h"

namespace kestrix {

/// What a drawing shows, before it becomes text: gates packed into columns, each column a
/// map from row to the text of its cell ("┼" where a gate only crosses a row, "" for a
/// barrier's rows between its qubits).
struct DrawLayout {
    /// The rows from `lo` to `hi` that one gate of a column covers.
    struct Span {
        int lo = 0, hi = 0;
        bool barrier = false;
    };
    struct Column {
        std::map<int, std::string> cells;
        std::vector<Span> spans;  ///< one per gate, in circuit order
        size_t width = 1;         ///< terminal columns of the widest cell
    };
    int rows = 0;
    std::vector<Column> columns;
    uint64_t left_out = 0;  ///< gates beyond the largest drawing, counted but not drawn
};

DrawLayout draw_layout(const Circuit& circuit, int num_qubits = 0);

/// `num_qubits` rows at least (a program's declared width); more if the circuit needs them.
/// A drawing stops at about four million glyphs; a last line counts the gates left out.
std::string draw(const Circuit& circuit, int num_qubits = 0);
/// The same drawing folded into blocks, one after another with a blank line between them,
/// none wider than `fold` terminal columns unless one gate alone is; fold 0 is draw().
std::string draw(const Circuit& circuit, int num_qubits, size_t fold);

}  // namespace kestrix
