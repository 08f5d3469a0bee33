#include "kestrix/lib/io/draw.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "kestrix/lib/io/gate_text.h"

namespace kestrix {

namespace {

constexpr const char* kWire = "─";
constexpr const char* kCross = "┼";
constexpr const char* kControl = "●";
// Glyphs of the largest drawing (about 12 MB of text); the gates beyond it are counted in
// a last line instead of drawn.
constexpr double kMaxDrawnCells = 1 << 22;

// Number of terminal columns of a UTF-8 string (every glyph used here is one column).
size_t columns(const std::string& s) {
    size_t n = 0;
    for (unsigned char ch : s) n += (ch & 0xC0) != 0x80;
    return n;
}

std::string angle(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g", x);
    return buf;
}

// Angle `slot` of a gate: four digits, or the expression that waits for a parameter.
std::string angle(const Gate& g, int slot) {
    const ParamExpr* e = g.symbol_at(slot);
    return e ? expr_text(*e) : angle(g.params[slot]);
}

// The label of the gate's operand cells, by operand position.
std::string label(const Gate& g, size_t operand) {
    std::string s;
    switch (g.kind) {
        case GateKind::CNOT: s = operand == 0 ? kControl : "X"; break;
        case GateKind::CZ: s = operand == 0 ? kControl : "Z"; break;
        case GateKind::CR: s = operand == 0 ? kControl : "CR(" + angle(g, 0) + ")"; break;
        case GateKind::TOFFOLI: s = operand < 2 ? kControl : "X"; break;
        case GateKind::SWAP: s = "x"; break;
        // Operand j of a wide UNITARY reads "U[j]", so the drawing shows the qubit order.
        case GateKind::UNITARY:
            s = g.qubits.size() > 1 ? "U[" + std::to_string(operand) + "]" : "U";
            break;
        case GateKind::BARRIER: return "░";
        case GateKind::MEASURE: return "M→c" + std::to_string(g.cbit);
        default: {
            s = gate_name(g.kind);
            if (!g.params.empty()) {
                s += "(";
                for (size_t k = 0; k < g.params.size(); ++k) {
                    if (k) s += ",";
                    s += angle(g, int(k));
                }
                s += ")";
            }
        }
    }
    if (g.dagger && s != kControl) s += "†";
    return s;
}

}  // namespace

DrawLayout draw_layout(const Circuit& circuit, int num_qubits) {
    DrawLayout layout;
    const int rows = std::max(num_qubits, circuit.width());
    layout.rows = rows;
    std::vector<DrawLayout::Column>& cols = layout.columns;
    std::vector<size_t> next_free(rows, 0);
    size_t drawn_width = 0;  // columns of text so far, wires between them included
    uint64_t drawn = 0;
    GateCursor cursor(circuit);
    Gate g;
    while (cursor.next(g)) {
        std::vector<int> all = g.all_qubits();
        if (all.empty()) {
            ++drawn;
            continue;
        }
        const int lo = *std::min_element(all.begin(), all.end());
        const int hi = *std::max_element(all.begin(), all.end());
        size_t at = 0;
        for (int r = lo; r <= hi; ++r) at = std::max(at, next_free[r]);
        if (at == cols.size()) {
            if (double(rows) * double(drawn_width + 2) > kMaxDrawnCells) break;
            cols.emplace_back();
            drawn_width += 2;
        }
        DrawLayout::Column& col = cols[at];
        for (int r = lo; r <= hi; ++r) {
            col.cells[r] = g.kind == GateKind::BARRIER ? "" : kCross;
            next_free[r] = at + 1;
        }
        for (size_t k = 0; k < g.qubits.size(); ++k) col.cells[g.qubits[k]] = label(g, k);
        for (int c : g.controls) col.cells[c] = kControl;
        col.spans.push_back({lo, hi, g.kind == GateKind::BARRIER});
        const size_t before = col.width;
        for (auto& [r, text] : col.cells) col.width = std::max(col.width, columns(text));
        drawn_width += col.width - before;
        ++drawn;
    }
    layout.left_out = circuit.gate_count() - drawn;
    return layout;
}

std::string draw(const Circuit& circuit, int num_qubits) { return draw(circuit, num_qubits, 0); }

std::string draw(const Circuit& circuit, int num_qubits, size_t fold) {
    const DrawLayout layout = draw_layout(circuit, num_qubits);
    const int rows = layout.rows;
    const std::vector<DrawLayout::Column>& cols = layout.columns;
    std::vector<std::string> names(rows);
    size_t name_width = 0;
    for (int r = 0; r < rows; ++r) {
        names[r] = "q_" + std::to_string(r) + ": ";
        name_width = std::max(name_width, names[r].size());
    }
    // Blocks of whole columns: each holds as many as fit in `fold` after the names and the
    // leading wire, and at least one.
    std::vector<size_t> starts = {0};
    if (fold > 0) {
        size_t used = name_width + 1;
        for (size_t k = 0; k < cols.size(); ++k) {
            const size_t w = cols[k].width + 1;
            if (k > starts.back() && used + w > fold) {
                starts.push_back(k);
                used = name_width + 1;
            }
            used += w;
        }
    }
    starts.push_back(cols.size());
    std::string out;
    for (size_t b = 0; b + 1 < starts.size(); ++b) {
        if (b > 0) out += "\n";
        for (int r = 0; r < rows; ++r) {
            std::string line = names[r];
            line.append(name_width - line.size(), ' ');
            line += kWire;
            for (size_t k = starts[b]; k < starts[b + 1]; ++k) {
                const DrawLayout::Column& col = cols[k];
                auto it = col.cells.find(r);
                std::string text = it == col.cells.end() ? "" : it->second;
                const size_t pad = col.width - columns(text);
                for (size_t j = 0; j < pad / 2; ++j) line += kWire;
                line += text;
                for (size_t j = 0; j < pad - pad / 2; ++j) line += kWire;
                line += kWire;
            }
            out += line + "\n";
        }
    }
    if (layout.left_out > 0)
        out += "… " + std::to_string(layout.left_out) + " more gates not drawn\n";
    return out;
}

}  // namespace kestrix
