#pragma once
// A circuit: an ordered list of gates and nested blocks. Appending a circuit stores it as
// a block that shares the appended content (copy-on-write), so appends are O(1), later
// edits of the appended circuit never leak into the target, and the engine can see a
// block repeated many times.
#include <cstddef>
#include <memory>
#include <variant>
#include <vector>

#include "kestrix/lib/gate.h"

namespace kestrix {

struct Item;
using ItemList = std::vector<Item>;

/// A whole circuit reused as one step, with the controls and dagger flag it runs under.
struct Block {
    std::shared_ptr<const ItemList> body;
    std::vector<int> controls;
    bool dagger = false;
};

struct Item {
    std::variant<Gate, Block> value;
};

class Circuit {
  public:
    Circuit();

    Circuit& append(const Gate& gate);
    Circuit& append(const Circuit& other);

    /// New circuit acting only when every qubit of `controls` is 1.
    Circuit controlled(const std::vector<int>& controls) const;
    /// New circuit that undoes this one: reversed order, every gate inverted.
    Circuit daggered() const;

    /// Calls f(const Gate&) for every gate in execution order, blocks expanded, each gate
    /// carrying the controls and dagger flag it runs with.
    template <class F>
    void for_each_gate(F&& f) const {
        std::vector<int> controls;
        visit(*items_, controls, false, f);
    }

    /// Every gate in execution order (see for_each_gate).
    std::vector<Gate> flatten() const;
    /// The summary below is kept up to date on every append, so reading it costs nothing
    /// however many gates the blocks expand to.
    /// Gates in execution order, blocks expanded (barriers and measurements included).
    size_t gate_count() const { return gate_count_; }
    bool empty() const { return items_->empty(); }
    /// Highest qubit touched plus one (0 for an empty circuit).
    int width() const { return width_; }
    bool has_measurement() const { return measures_; }
    /// The top-level items, for engines that look at structure.
    const ItemList& items() const { return *items_; }

  private:
    ItemList& mutable_items();
    /// A circuit of one block over this circuit's content, with this summary.
    Circuit wrapped(Block block) const;

    template <class F>
    static void visit(const ItemList& items, std::vector<int>& controls, bool dagger, F& f);

    std::shared_ptr<ItemList> items_;
    size_t gate_count_ = 0;
    int width_ = 0;
    bool measures_ = false;
};

template <class F>
void Circuit::visit(const ItemList& items, std::vector<int>& controls, bool dagger, F& f) {
    const size_t n = items.size();
    for (size_t k = 0; k < n; ++k) {
        const Item& item = items[dagger ? n - 1 - k : k];
        if (const Gate* g = std::get_if<Gate>(&item.value)) {
            if (controls.empty() && !dagger) {
                f(*g);
            } else {
                Gate run = *g;
                if (run.is_unitary()) {
                    run.controls.append(controls.begin(), controls.end());
                    if (dagger) run.dagger = !run.dagger;
                }
                f(static_cast<const Gate&>(run));
            }
        } else {
            const Block& b = std::get<Block>(item.value);
            const size_t mark = controls.size();
            controls.insert(controls.end(), b.controls.begin(), b.controls.end());
            visit(*b.body, controls, dagger != b.dagger, f);
            controls.resize(mark);
        }
    }
}

}  // namespace kestrix
