#include "kestrix/lib/circuit.h"

#include <algorithm>
#include <string>

#include "kestrix/lib/errors.h"

namespace kestrix {

Circuit::Circuit() : items_(std::make_shared<ItemList>()) {}

ItemList& Circuit::mutable_items() {
    // Copy on write: the content may be shared with blocks of other circuits.
    if (items_.use_count() > 1) items_ = std::make_shared<ItemList>(*items_);
    return *items_;
}

Circuit& Circuit::append(const Gate& gate) {
    mutable_items().push_back(Item{gate});
    ++gate_count_;
    for (int q : gate.qubits) width_ = std::max(width_, q + 1);
    for (int q : gate.controls) width_ = std::max(width_, q + 1);
    measures_ = measures_ || gate.kind == GateKind::MEASURE;
    return *this;
}

Circuit& Circuit::append(const Circuit& other) {
    if (other.empty()) return *this;
    const ItemList& src = *other.items_;
    if (src.size() == 1) {
        // A single gate or block needs no wrapper: copying it keeps the IR shallow.
        Item copy = src.front();
        mutable_items().push_back(std::move(copy));
    } else {
        mutable_items().push_back(Item{Block{other.items_, {}, false}});
    }
    gate_count_ += other.gate_count_;
    width_ = std::max(width_, other.width_);
    measures_ = measures_ || other.measures_;
    return *this;
}

Circuit Circuit::controlled(const std::vector<int>& controls) const {
    check_distinct_qubits(controls, "control");
    if (controls.empty()) return *this;
    if (measures_) throw ValueError("a circuit with measurements cannot be controlled");
    // Controls above every qubit the circuit touches cannot clash: no need to walk it.
    if (*std::min_element(controls.begin(), controls.end()) < width_) {
        for_each_gate([&](const Gate& g) {
            if (!g.is_unitary()) return;
            for (int q : g.all_qubits()) {
                if (std::find(controls.begin(), controls.end(), q) != controls.end()) {
                    throw ValueError("control qubit " + std::to_string(q) +
                                     " is also used by the controlled circuit (" +
                                     gate_name(g.kind) + ")");
                }
            }
        });
    }
    Circuit out = wrapped(Block{items_, controls, false});
    for (int q : controls) out.width_ = std::max(out.width_, q + 1);
    return out;
}

Circuit Circuit::daggered() const {
    if (has_measurement()) throw ValueError("a circuit with measurements has no inverse");
    return wrapped(Block{items_, {}, true});
}

std::vector<Gate> Circuit::flatten() const {
    std::vector<Gate> gates;
    for_each_gate([&](const Gate& g) { gates.push_back(g); });
    return gates;
}

Circuit Circuit::wrapped(Block block) const {
    Circuit out;
    out.items_->push_back(Item{std::move(block)});
    out.gate_count_ = gate_count_;
    out.width_ = width_;
    out.measures_ = measures_;
    return out;
}

}  // namespace kestrix
