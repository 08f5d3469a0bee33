#include "kestrix/lib/ir/parameter.h"

#include <algorithm>
#include <random>

namespace kestrix {

Parameter make_parameter(std::string name) {
    // 64 random bits: parameters made in different processes do not collide.
    thread_local std::mt19937_64 ids{std::random_device{}()};
    return make_parameter(std::move(name), ids());
}

Parameter make_parameter(std::string name, uint64_t id) {
    return std::make_shared<const ParameterData>(ParameterData{std::move(name), id});
}

bool operator==(const ParamExpr& a, const ParamExpr& b) {
    return a.param->id == b.param->id && a.scale == b.scale && a.offset == b.offset;
}

bool operator==(const Symbol& a, const Symbol& b) { return a.slot == b.slot && a.expr == b.expr; }

namespace {

bool holds(const std::vector<Parameter>& list, const Parameter& p) {
    return std::any_of(list.begin(), list.end(),
                       [&](const Parameter& q) { return q->id == p->id; });
}

}  // namespace

void add_parameters(std::vector<Parameter>& list, const SymbolList& symbols) {
    for (const Symbol& s : symbols)
        if (!holds(list, s.expr.param)) list.push_back(s.expr.param);
}

void add_parameters(std::vector<Parameter>& list, const std::vector<Parameter>& more) {
    for (const Parameter& p : more)
        if (!holds(list, p)) list.push_back(p);
}

}  // namespace kestrix
