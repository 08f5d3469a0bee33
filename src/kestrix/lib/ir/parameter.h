#pragma once
// Named parameters of variational circuits. A gate angle may be an affine expression of one
// parameter (2 theta + 0.1); the circuit keeps the expression until it is bound, so a
// sweep over many values plans the circuit once and refreshes only the matrices that
// depend on them.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrix {

/// A parameter is known by its id: two made with the same name are different parameters,
/// and a copy that travels (pickled, shipped to a worker) keeps its id and so stays the same.
struct ParameterData {
    std::string name;
    uint64_t id = 0;
};
using Parameter = std::shared_ptr<const ParameterData>;

/// A new parameter with a fresh random id.
Parameter make_parameter(std::string name);
/// The parameter with a known id (read back from pickled or shipped data).
Parameter make_parameter(std::string name, uint64_t id);

/// scale * parameter + offset.
struct ParamExpr {
    Parameter param;
    double scale = 1;
    double offset = 0;

    double at(double value) const { return scale * value + offset; }
};
bool operator==(const ParamExpr& a, const ParamExpr& b);

/// An angle of a gate that waits for a value: params[slot] is `expr` once bound.
struct Symbol {
    int slot = 0;
    ParamExpr expr;
};
bool operator==(const Symbol& a, const Symbol& b);
using SymbolList = std::vector<Symbol>;

/// The value given to a parameter, or nullopt to leave it unbound.
using ParameterValues = std::function<std::optional<double>(const ParameterData&)>;

/// Appends the parameters of `symbols` that `list` lacks, in order.
void add_parameters(std::vector<Parameter>& list, const SymbolList& symbols);
void add_parameters(std::vector<Parameter>& list, const std::vector<Parameter>& more);

}  // namespace kestrix
