// norvalis.Kavrel.Kavrel: the linear-system solver's public front end. Each function
// checks its argument types exactly and passes the arguments unchanged to the native
// module _Kavrel beside it, looked up at call time.
#include <initializer_list>
#include <utility>

#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;

// These functions show typed signatures, as the solver's users know them: the docstring's
// first line is `line`, and __annotations__, __signature__ and __defaults__ read as a
// Python function declared with those annotations would.
void annotate(nb::handle function, const char* line,
              std::initializer_list<std::pair<const char*, const char*>> annotations) {
    nb::object doc = function.attr("__doc__");
    nb::object rest = doc.attr("partition")("\n")[2];
    nb::setattr(function, "__doc__", nb::str(line) + nb::str("\n") + rest);

    nb::object inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object old = inspect.attr("signature")(function).attr("parameters");
    nb::dict notes;
    nb::list parameters, defaults;
    for (const auto& [name, note] : annotations) {
        notes[name] = note;
        nb::object p = old[name];
        parameters.append(p.attr("replace")(nb::arg("annotation") = note));
        if (!p.attr("default").is(parameter.attr("empty"))) defaults.append(p.attr("default"));
    }
    nb::setattr(function, "__annotations__", notes);
    nb::setattr(function, "__signature__", inspect.attr("Signature")(parameters));
    nb::setattr(function, "__defaults__", nb::tuple(defaults));
}

void check_types(nb::handle matrix_A, nb::handle data_b) {
    check_exact_type(matrix_A, &PyList_Type, "matrix_A");
    check_exact_type(data_b, &PyList_Type, "data_b");
}

nb::object Kavrel_solve_linear_equations(const Call& call) {
    auto [matrix_A, data_b, precision_cnt] = call.args<3>();
    check_types(matrix_A, data_b);
    check_exact_type(precision_cnt, &PyLong_Type, "precision_cnt");
    return call.global("_Kavrel_solve_linear_equations")(matrix_A, data_b, precision_cnt);
}

nb::object expand_linear_equations(const Call& call) {
    auto [matrix_A, data_b] = call.args<2>();
    check_types(matrix_A, data_b);
    return call.global("_expand_linear_equations")(matrix_A, data_b);
}

nb::object build_Kavrel_circuit(const Call& call) {
    auto [matrix_A, data_b, precision_cnt] = call.args<3>();
    check_types(matrix_A, data_b);
    check_exact_type(precision_cnt, &PyLong_Type, "precision_cnt");
    return call.global("_build_Kavrel_circuit")(matrix_A, data_b, precision_cnt);
}

}  // namespace

NORVALIS_MODULE(Kavrel, m) {
    m.import_from("_Kavrel",
                  {"KavrelAlg", "_build_Kavrel_circuit", "_expand_linear_equations",
                   "_Kavrel_solve_linear_equations"},
                  1);
    m.import_from("typing", {"List"});
    m.import_from("kestrix.core", {"CPUQVM"});

    nb::object solve = m.def("Kavrel_solve_linear_equations", Kavrel_solve_linear_equations,
                             {arg("matrix_A"), arg("data_b"), arg("precision_cnt", 0)}, R"DOC(
Solves A x = b with the HHL quantum algorithm; returns
_Kavrel_solve_linear_equations(matrix_A, data_b, precision_cnt): x as a list of
Python complex numbers.

matrix_A is the N x N matrix flattened row by row (real or complex), N a power
of two (expand_linear_equations extends other sizes); data_b holds N real
numbers; precision_cnt is the number of decimal digits of eigenvalue
resolution (1 digit costs 4 more qubits, 2 digits 7). Argument types are
checked exactly: list, list, int.
)DOC");
    annotate(solve,
             "Kavrel_solve_linear_equations(list matrix_A: List[complex], list data_b: "
             "List[float], int precision_cnt: int = 0)",
             {{"matrix_A", "List[complex]"}, {"data_b", "List[float]"}, {"precision_cnt", "int"}});

    nb::object expand = m.def("expand_linear_equations", expand_linear_equations,
                              {arg("matrix_A"), arg("data_b")}, R"DOC(
Extends an M x M system to N x N, N the next power of two; returns
_expand_linear_equations(matrix_A, data_b): [matrix, vector], the matrix in the
top-left corner of a zero N x N matrix (flattened, complex numbers) and the
vector padded with zeros (floats). Argument types are checked exactly: list,
list.
)DOC");
    annotate(expand,
             "expand_linear_equations(list matrix_A: List[complex], list data_b: List[float])",
             {{"matrix_A", "List[complex]"}, {"data_b", "List[float]"}});

    nb::object build = m.def("build_Kavrel_circuit", build_Kavrel_circuit,
                             {arg("matrix_A"), arg("data_b"), arg("precision_cnt", 0)}, R"DOC(
The whole HHL solver circuit for A x = b; returns
_build_Kavrel_circuit(matrix_A, data_b, precision_cnt), a QCircuit. Run from
|0...0>, its amplitudes with the ancilla at 1 and the eigenvalue register at 0
are x / (|b| * (1 << ceil(log2(10^precision_cnt)))). Arguments as for
Kavrel_solve_linear_equations.
)DOC");
    annotate(build,
             "build_Kavrel_circuit(list matrix_A: List[complex], list data_b: List[float], int "
             "precision_cnt: int = 0)",
             {{"matrix_A", "List[complex]"}, {"data_b", "List[float]"}, {"precision_cnt", "int"}});
}
