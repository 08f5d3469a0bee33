#pragma once
// A circuit: an ordered list of gates and nested blocks. Appending a circuit stores it as
// a block that shares the appended content (copy-on-write), so appends are O(1), later
// edits of the appended circuit never leak into the target, and the engine can see a
// block repeated many times.
#include <cstddef>
#include <memory>
#include <variant>
#include <vector>

#include "kestrix/lib/base/complex.h"
#include "kestrix/lib/ir/gate.h"

namespace kestrix {

struct Item;
using ItemList = std::vector<Item>;

/// The state a circuit makes on its qubits when they start in |0>: `amplitudes`, index bit
/// k being qubits[k]. An engine that knows those qubits are still |0> may write the
/// amplitudes at once instead of running the circuit's gates.
struct Preparation {
    std::vector<int> qubits;
    std::vector<cplx> amplitudes;
};

/// A whole circuit reused as one step, with the controls and dagger flag it runs under,
/// and, for a state preparation, the state its body makes from |0>.
struct Block {
    std::shared_ptr<const ItemList> body;
    std::vector<int> controls;
    bool dagger = false;
    std::shared_ptr<const Preparation> prepares;
};

struct Item {
    std::variant<Gate, Block> value;
};

/// Frees a list of items without recursion: a circuit inverted or controlled a million
/// times nests a million blocks, and freeing them one inside another would overflow the
/// stack. Every list a circuit holds is made by new_item_list, which installs it.
struct ItemListDeleter {
    void operator()(const ItemList* items) const noexcept;
};
std::shared_ptr<ItemList> new_item_list(ItemList items = {});

class Circuit {
  public:
    Circuit();

    Circuit& append(const Gate& gate);
    Circuit& append(const Circuit& other);

    /// New circuit acting only when every qubit of `controls` is 1.
    Circuit controlled(const std::vector<int>& controls) const;
    /// New circuit that undoes this one: reversed order, every gate inverted.
    Circuit daggered() const;
    /// The same gates, as one block known to make `preparation` from |0> on its qubits
    /// (the caller vouches for it: amplitude encoding computes both).
    Circuit preparing(Preparation preparation) const;

    /// Calls f(const Gate&) for every gate in execution order, blocks expanded, each gate
    /// carrying the controls and dagger flag it runs with. Memory grows with the nesting
    /// depth only; the time, with the expanded gate count.
    template <class F>
    void for_each_gate(F&& f) const;

    /// Every gate in execution order (see for_each_gate). MemoryError when the expanded
    /// list could not fit in memory (a block appended to itself forty times holds 2^40
    /// gates): walk such a circuit with for_each_gate or a GateCursor.
    std::vector<Gate> flatten() const;
    /// The summary below is kept up to date on every append, so reading it costs nothing
    /// however many gates the blocks expand to.
    /// Gates in execution order, blocks expanded (barriers and measurements included).
    size_t gate_count() const { return gate_count_; }
    bool empty() const { return items_->empty(); }
    /// Highest qubit touched plus one (0 for an empty circuit).
    int width() const { return width_; }
    bool has_measurement() const { return measures_; }
    /// Parameters its angles wait for, in the order they first appear (empty once bound).
    const std::vector<Parameter>& parameters() const { return parameters_; }

    /// The same circuit with the values `values` gives bound into its angles (parameters
    /// it leaves out stay symbolic). Blocks without parameters stay shared, and a block
    /// repeated many times is bound once.
    Circuit bound(const ParameterValues& values) const;
    /// The top-level items, for engines that look at structure.
    const ItemList& items() const { return *items_; }

  private:
    ItemList& mutable_items();
    void add_gate_count(size_t count);
    /// A circuit of one block over this circuit's content, with this summary.
    Circuit wrapped(Block block) const;

    std::shared_ptr<ItemList> items_;
    size_t gate_count_ = 0;
    int width_ = 0;
    bool measures_ = false;
    std::vector<Parameter> parameters_;
};

/// Walks a circuit's gates one at a time, as for_each_gate yields them, for callers that
/// take them on demand (a Python iterator). It keeps the circuit's content alive, costs
/// memory in proportion to the nesting depth only, and sees the circuit as it was when the
/// cursor was made.
class GateCursor {
  public:
    explicit GateCursor(const Circuit& circuit);
    /// The next gate into `out`; false when every gate has been given.
    bool next(Gate& out);

  private:
    struct Level {
        const ItemList* items;
        size_t done;      ///< items of this level already taken
        size_t controls;  ///< controls_.size() when the level was entered
        bool dagger;
    };
    Circuit circuit_;
    std::vector<Level> stack_;
    std::vector<int> controls_;
};

template <class F>
void Circuit::for_each_gate(F&& f) const {
    GateCursor cursor(*this);
    Gate gate;
    while (cursor.next(gate)) f(static_cast<const Gate&>(gate));
}

}  // namespace kestrix
