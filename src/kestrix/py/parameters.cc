#include "kestrix/py/parameters.h"

#include "kestrix/py/convert.h"

namespace kestrix::py {

std::optional<ParamExpr> to_expression(nb::handle value) {
    if (nb::isinstance<ParameterObject>(value))
        return ParamExpr{nb::cast<const ParameterObject&>(value).p, 1, 0};
    if (nb::isinstance<ExpressionObject>(value)) return nb::cast<const ExpressionObject&>(value).e;
    return std::nullopt;
}

nb::object parameter_object(const Parameter& p) { return nb::cast(ParameterObject{p}); }

nb::object expression_object(const ParamExpr& e) {
    if (e.scale == 1 && e.offset == 0) return parameter_object(e.param);
    return nb::cast(ExpressionObject{e});
}

std::vector<Parameter> to_parameter_list(nb::handle value, const char* what) {
    std::vector<Parameter> out;
    auto add = [&](nb::handle item) {
        if (nb::isinstance<ParameterObject>(item)) {
            out.push_back(nb::cast<const ParameterObject&>(item).p);
        } else if (nb::isinstance<ParameterVectorObject>(item)) {
            const auto& v = nb::cast<const ParameterVectorObject&>(item);
            out.insert(out.end(), v.items.begin(), v.items.end());
        } else {
            throw nb::type_error(
                (std::string(what) + " must hold Parameter objects, got " + type_name_of(item))
                    .c_str());
        }
    };
    if (nb::isinstance<ParameterVectorObject>(value)) {
        add(value);
        return out;
    }
    for (nb::handle item : nb::iter(value)) add(item);
    return out;
}

}  // namespace kestrix::py
