#include "kestrix/lib/ir/circuit.h"

#include <algorithm>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"

namespace kestrix {

void ItemListDeleter::operator()(const ItemList* items) const noexcept {
    // Lists freed while one is being freed (the bodies of its blocks) wait in a queue that
    // the outermost call drains.
    thread_local std::vector<const ItemList*>* pending = nullptr;
    if (pending) {
        pending->push_back(items);
        return;
    }
    std::vector<const ItemList*> queue{items};
    pending = &queue;
    while (!queue.empty()) {
        const ItemList* next = queue.back();
        queue.pop_back();
        delete next;
    }
    pending = nullptr;
}

std::shared_ptr<ItemList> new_item_list(ItemList items) {
    return std::shared_ptr<ItemList>(new ItemList(std::move(items)), ItemListDeleter{});
}

Circuit::Circuit() : items_(new_item_list()) {}

ItemList& Circuit::mutable_items() {
    // Copy on write: the content may be shared with blocks of other circuits.
    if (items_.use_count() > 1) items_ = new_item_list(*items_);
    return *items_;
}

void Circuit::add_gate_count(size_t count) {
    // Appending a circuit to itself doubles its count: 64 doublings would wrap around.
    if (gate_count_ > std::numeric_limits<size_t>::max() - count)
        throw ValueError("a circuit holds fewer than 2**64 gates");
    gate_count_ += count;
}

namespace {

// Throws ValueError when a unitary gate of `items` uses one of `controls`. Each shared body
// is looked at once, however often it is repeated: a block appended to itself forty times
// costs forty visits, not 2^40.
void check_controls_unused(const ItemList& items, const std::vector<int>& controls) {
    std::unordered_set<const ItemList*> seen;
    auto clash = [&](int q, const char* by) {
        if (std::find(controls.begin(), controls.end(), q) == controls.end()) return;
        throw ValueError("control qubit " + std::to_string(q) +
                         " is also used by the controlled circuit (" + by + ")");
    };
    std::vector<const ItemList*> todo{&items};  // a list, not recursion: nesting may be deep
    while (!todo.empty()) {
        const ItemList& list = *todo.back();
        todo.pop_back();
        if (!seen.insert(&list).second) continue;
        for (const Item& item : list) {
            if (const Gate* g = std::get_if<Gate>(&item.value)) {
                if (!g->is_unitary()) continue;
                for (int q : g->qubits) clash(q, gate_name(g->kind));
                for (int q : g->controls) clash(q, gate_name(g->kind));
            } else {
                const Block& b = std::get<Block>(item.value);
                for (int q : b.controls) clash(q, "a controlled block");
                todo.push_back(b.body.get());
            }
        }
    }
}

}  // namespace

Circuit& Circuit::append(const Gate& gate) {
    ItemList& items = mutable_items();
    // Circuits are mostly built gate by gate and hold tens of gates: small lists grow
    // fourfold, which spares most of the moves that doubling from one would make.
    if (items.size() == items.capacity())
        items.reserve(items.size() < 64 ? std::max<size_t>(16, 4 * items.size())
                                        : 2 * items.size());
    items.emplace_back(gate);  // the gate is copied once, in place
    ++gate_count_;
    for (int q : gate.qubits) width_ = std::max(width_, q + 1);
    for (int q : gate.controls) width_ = std::max(width_, q + 1);
    measures_ = measures_ || gate.kind == GateKind::MEASURE;
    if (gate.symbols) add_parameters(parameters_, *gate.symbols);
    return *this;
}

Circuit& Circuit::append(const Circuit& other) {
    if (other.empty()) return *this;
    // Appended to itself, the block must hold the content as it was: a copy shares it, so
    // the list written below is a fresh one and never contains itself.
    if (&other == this) return append(Circuit(other));
    add_gate_count(other.gate_count_);
    const ItemList& src = *other.items_;
    if (src.size() == 1) {
        // A single gate or block needs no wrapper: copying it keeps the IR shallow.
        Item copy = src.front();
        mutable_items().push_back(std::move(copy));
    } else {
        mutable_items().push_back(Item{Block{other.items_, {}, false, nullptr}});
    }
    width_ = std::max(width_, other.width_);
    measures_ = measures_ || other.measures_;
    add_parameters(parameters_, other.parameters_);
    return *this;
}

Circuit Circuit::controlled(const std::vector<int>& controls) const {
    check_distinct_qubits(controls, "control");
    if (controls.empty()) return *this;
    if (measures_) throw ValueError("a circuit with measurements cannot be controlled");
    // Controls above every qubit the circuit touches cannot clash: no need to walk it.
    if (*std::min_element(controls.begin(), controls.end()) < width_)
        check_controls_unused(*items_, controls);
    Circuit out = wrapped(Block{items_, controls, false, nullptr});
    for (int q : controls) out.width_ = std::max(out.width_, q + 1);
    return out;
}

Circuit Circuit::daggered() const {
    if (has_measurement()) throw ValueError("a circuit with measurements has no inverse");
    return wrapped(Block{items_, {}, true, nullptr});
}

Circuit Circuit::preparing(Preparation preparation) const {
    return wrapped(
        Block{items_, {}, false, std::make_shared<const Preparation>(std::move(preparation))});
}

std::vector<Gate> Circuit::flatten() const {
    check_memory(double(gate_count_) * sizeof(Gate),
                 "the list of " + std::to_string(gate_count_) + " gates");
    std::vector<Gate> gates;
    gates.reserve(gate_count_);
    for_each_gate([&](const Gate& g) { gates.push_back(g); });
    return gates;
}

Circuit Circuit::wrapped(Block block) const {
    Circuit out;
    out.items_->push_back(Item{std::move(block)});
    out.gate_count_ = gate_count_;
    out.width_ = width_;
    out.measures_ = measures_;
    out.parameters_ = parameters_;
    return out;
}

Circuit Circuit::bound(const ParameterValues& values) const {
    if (parameters_.empty()) return *this;
    // Post-order over the shared lists, with a stack rather than recursion (nesting may be
    // deep); each list is rebuilt once, only when something inside it changed.
    std::unordered_map<const ItemList*, std::shared_ptr<const ItemList>> done;
    struct Frame {
        const ItemList* items;
        size_t k;
        std::shared_ptr<ItemList> out;  ///< made on the first change
    };
    std::vector<Frame> stack{{items_.get(), 0, nullptr}};
    std::shared_ptr<const ItemList> result;
    auto changed = [](Frame& f) -> ItemList& {
        if (!f.out) f.out = new_item_list(ItemList(f.items->begin(), f.items->begin() + f.k));
        return *f.out;
    };
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.k == f.items->size()) {
            std::shared_ptr<const ItemList> made = f.out;
            const ItemList* key = f.items;
            stack.pop_back();
            done[key] = made;  // null: unchanged
            if (stack.empty()) {
                result = made;
                break;
            }
            Frame& parent = stack.back();
            const Block& b = std::get<Block>((*parent.items)[parent.k].value);
            if (made) {
                Block copy = b;
                copy.body = made;
                changed(parent).push_back(Item{std::move(copy)});
            } else if (parent.out) {
                parent.out->push_back((*parent.items)[parent.k]);
            }
            ++parent.k;
            continue;
        }
        const Item& item = (*f.items)[f.k];
        if (const Gate* g = std::get_if<Gate>(&item.value)) {
            if (g->symbols) {
                changed(f).push_back(Item{kestrix::bound(*g, values)});
            } else if (f.out) {
                f.out->push_back(item);
            }
            ++f.k;
            continue;
        }
        const Block& b = std::get<Block>(item.value);
        auto seen = done.find(b.body.get());
        if (seen == done.end()) {
            stack.push_back(Frame{b.body.get(), 0, nullptr});  // `f` dangles from here
            continue;
        }
        if (seen->second) {
            Block copy = b;
            copy.body = seen->second;
            changed(f).push_back(Item{std::move(copy)});
        } else if (f.out) {
            f.out->push_back(item);
        }
        ++f.k;
    }
    Circuit out = *this;
    if (result) out.items_ = std::const_pointer_cast<ItemList>(result);
    out.parameters_.clear();
    for (const Parameter& p : parameters_)
        if (!values(*p)) out.parameters_.push_back(p);
    return out;
}

GateCursor::GateCursor(const Circuit& circuit) : circuit_(circuit) {
    stack_.push_back(Level{&circuit_.items(), 0, 0, false});
}

bool GateCursor::next(Gate& out) {
    while (!stack_.empty()) {
        Level& level = stack_.back();
        const size_t n = level.items->size();
        if (level.done == n) {
            controls_.resize(level.controls);
            stack_.pop_back();
            continue;
        }
        const Item& item = (*level.items)[level.dagger ? n - 1 - level.done : level.done];
        ++level.done;
        if (const Gate* g = std::get_if<Gate>(&item.value)) {
            // The same adjustments as Circuit::visit makes.
            out = *g;
            if (out.is_unitary() && (!controls_.empty() || level.dagger)) {
                out.controls.append(controls_.begin(), controls_.end());
                if (level.dagger) out.dagger = !out.dagger;
            }
            return true;
        }
        const Block& b = std::get<Block>(item.value);
        const size_t mark = controls_.size();
        const bool dagger = level.dagger != b.dagger;  // `level` dangles once the stack grows
        controls_.insert(controls_.end(), b.controls.begin(), b.controls.end());
        stack_.push_back(Level{b.body.get(), 0, mark, dagger});
    }
    return false;
}

}  // namespace kestrix
