#pragma once
// Parameters as Python sees them: Parameter, ParameterExpression (an affine expression of
// one parameter) and ParameterVector, and the conversions that let a gate's angle be any
// of them.
#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

#include "kestrix/lib/ir/parameter.h"

namespace kestrix::py {

namespace nb = nanobind;

struct ParameterObject {
    Parameter p;
};
struct ExpressionObject {
    ParamExpr e;
};
struct ParameterVectorObject {
    std::string name;
    std::vector<Parameter> items;
};

/// The expression an angle argument holds when it is a Parameter or ParameterExpression.
std::optional<ParamExpr> to_expression(nb::handle value);
/// A Parameter object for `p` (the same parameter: equal, hashing alike).
nb::object parameter_object(const Parameter& p);
/// The Python value of an expression: the Parameter itself when it is one, else a
/// ParameterExpression.
nb::object expression_object(const ParamExpr& e);

/// The parameters a sequence names, in order: Parameters, or ParameterVectors (each
/// standing for its elements).
std::vector<Parameter> to_parameter_list(nb::handle value, const char* what);

}  // namespace kestrix::py
