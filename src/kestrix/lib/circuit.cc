#include "circuit.h"

#include <algorithm>
#include <string>

#include "errors.h"

namespace kestrix {

Circuit::Circuit() : items_(std::make_shared<ItemList>()) {}

ItemList& Circuit::mutable_items() {
    // Copy on write: the content may be shared with blocks of other circuits.
    if (items_.use_count() > 1) items_ = std::make_shared<ItemList>(*items_);
    return *items_;
}

Circuit& Circuit::append(const Gate& gate) {
    mutable_items().push_back(Item{gate});
    return *this;
}

Circuit& Circuit::append(const Circuit& other) {
    if (other.empty()) return *this;
    const ItemList& src = *other.items_;
    if (src.size() == 1) {
        // A single gate or block needs no wrapper: copying it keeps the IR shallow.
        Item copy = src.front();
        mutable_items().push_back(std::move(copy));
        return *this;
    }
    Block b{other.items_, {}, false};
    mutable_items().push_back(Item{std::move(b)});
    return *this;
}

Circuit Circuit::controlled(const std::vector<int>& controls) const {
    check_distinct_qubits(controls, "control");
    if (controls.empty()) return *this;
    bool measured = false;
    for_each_gate([&](const Gate& g) {
        if (g.kind == GateKind::MEASURE) measured = true;
        if (!g.is_unitary()) return;
        for (int q : g.all_qubits()) {
            if (std::find(controls.begin(), controls.end(), q) != controls.end()) {
                throw ValueError("control qubit " + std::to_string(q) +
                                 " is also used by the controlled circuit (" +
                                 gate_name(g.kind) + ")");
            }
        }
    });
    if (measured) throw ValueError("a circuit with measurements cannot be controlled");
    Circuit out;
    out.items_->push_back(Item{Block{items_, controls, false}});
    return out;
}

Circuit Circuit::daggered() const {
    if (has_measurement()) throw ValueError("a circuit with measurements has no inverse");
    Circuit out;
    out.items_->push_back(Item{Block{items_, {}, true}});
    return out;
}

std::vector<Gate> Circuit::flatten() const {
    std::vector<Gate> gates;
    for_each_gate([&](const Gate& g) { gates.push_back(g); });
    return gates;
}

size_t Circuit::gate_count() const {
    size_t n = 0;
    for_each_gate([&](const Gate&) { ++n; });
    return n;
}

int Circuit::width() const {
    int w = 0;
    for_each_gate([&](const Gate& g) {
        for (int q : g.qubits) w = std::max(w, q + 1);
        for (int q : g.controls) w = std::max(w, q + 1);
    });
    return w;
}

bool Circuit::has_measurement() const {
    bool found = false;
    for_each_gate([&](const Gate& g) { found = found || g.kind == GateKind::MEASURE; });
    return found;
}

}  // namespace kestrix
