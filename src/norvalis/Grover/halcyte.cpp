// norvalis.Grover.halcyte: Grover operators, marking oracles, iteration analysis, the
// Grover search circuit and Grover adaptive search for minimisation.
//
// Circuits are built with the libkestrix C++ API and handed out as kestrix.core.QCircuit.
// User callables, the plugin helpers and this module's own functions are called through
// the module's namespace at call time, so replacing one on the module takes effect.
#include <optional>

#include "kestrix/lib/base/memory.h"
#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;

// Z on the last qubit of the list, controlled by all the others.
Gate controlled_z_on_last(nb::handle qubits) {
    return gate_on(GateKind::Z, item(qubits, -1))
        .controlled(to_index_list(slice(qubits, std::nullopt, -1), "control qubit"));
}

// For each qubit j: X where data[-j-1] is "0", else a BARRIER on it.
void zero_positions_layer(Circuit& c, const std::vector<int>& qubits, nb::handle data) {
    nb::str zero("0");
    for (size_t j = 0; j < qubits.size(); ++j) {
        const GateKind kind =
            item(data, -Py_ssize_t(j) - 1).equal(zero) ? GateKind::X : GateKind::BARRIER;
        c.append(make_gate(kind, {qubits[j]}));
    }
}

// The zero reflection X^n, multi-controlled Z, X^n, built through the module's names so
// that a replaced apply_QGate, X or Z is obeyed.
Circuit reflection_about_zero(const Call& call, nb::handle q_zero) {
    Circuit r;
    if (length(q_zero) == 1) {
        nb::object q = item(q_zero, 0);
        for (GateKind kind : {GateKind::X, GateKind::Z, GateKind::X}) r.append(gate_on(kind, q));
        return r;
    }
    nb::object apply_gate = call.global("apply_QGate"), X = call.global("X");
    append(r, apply_gate(q_zero, X));
    append(r, apply_gate(list_of(item(q_zero, -1)), call.global("Z"))
                  .attr("control")(slice(q_zero, std::nullopt, -1)));
    append(r, apply_gate(q_zero, X));
    return r;
}

// Two's complement: a leading "1" gives int(bits, 2) - 2.0 ** len(bits), a float.
nb::object twos_complement(nb::handle bin_value) {
    nb::object n_value = nb::int_(nb::len(bin_value));
    nb::object as_int = builtin_int()(bin_value, 2);
    if (truthy(bin_value.attr("startswith")("1"))) return as_int - power(nb::float_(2.0), n_value);
    return as_int;
}

// The best assignments as lists of 0/1, variable 0 first, from keys written highest first.
nb::list assignments_of(nb::handle keys, nb::handle n_index) {
    nb::list opt_xs;
    nb::object width = nb::str(n_index);
    for (nb::handle key : distinct(keys)) {
        nb::object padded = nb::steal(PyObject_Format(key.ptr(), width.ptr()));
        if (!padded.is_valid()) throw nb::python_error();
        nb::list bits;
        for (nb::handle ch : padded) bits.append(ch.equal(nb::str("1")) ? 1 : 0);
        bits.reverse();
        opt_xs.append(bits);
    }
    return opt_xs;
}

// Refuses a mark of Grover(mark_data=...) whose length is not the register's: a longer one
// would have its leading bits dropped without a word (a ValueError), a shorter one fails
// in the reflection (an IndexError, as it always has, now with these words). Only a list
// of qubits and marks held in a string, list or tuple are checked here: reading another
// iterable would use it up before the reflection reads it.
void check_mark_widths(nb::handle qubits, nb::handle mark_data) {
    if (!PyList_Check(qubits.ptr())) return;  // the reflection refuses it
    nb::list marks;
    if (PyUnicode_Check(mark_data.ptr())) {
        marks.append(mark_data);
    } else if (PyList_Check(mark_data.ptr()) || PyTuple_Check(mark_data.ptr())) {
        marks = as_list(mark_data);
    }
    const Py_ssize_t width = length(qubits);
    for (nb::handle mark : marks) {
        if (!PyUnicode_Check(mark.ptr())) continue;
        const Py_ssize_t bits = length(mark);
        if (bits == width) continue;
        raise(bits > width ? PyExc_ValueError : PyExc_IndexError,
              "mark_data %R has %zd bits but the register has %zd qubits: each mark needs "
              "one bit per qubit",
              mark.ptr(), bits, width);
    }
}

// The flip operator a Grover built from mark_data keeps: the closure s_f of Grover.__init__.
// It pickles through _marked_strings_flip, so a Grover instance travels to other processes.
nb::object marked_strings_closure(nb::handle globals, nb::handle mark_data) {
    return make_picklable_closure(
        globals, "Grover.__init__", "s_f", {arg("qubits")},
        "Phase flip of the marked strings on these qubits.", nb::make_tuple(mark_data),
        [](const Call& inner) -> nb::object {
            auto [qubits] = inner.args<1>();
            check_mark_widths(qubits, inner.captured(0));
            return inner.global("mark_data_reflection")(qubits, inner.captured(0));
        },
        "_marked_strings_flip");
}

// 2 ** q_num for a width the closed forms can take: past this 2 ** q_num is a number of
// hundreds of kilobytes, and a hostile one (2 ** 64 qubits) would never be computed.
constexpr long long kMaxAnalysedQubits = 1'000'000;

nb::object two_to_the(nb::handle q_num) {
    if (PyLong_Check(q_num.ptr()) &&
        rich_compare_bool(q_num, nb::int_(kMaxAnalysedQubits), Py_GT)) {
        raise(PyExc_ValueError, "q_num must be at most %lld, got %S", kMaxAnalysedQubits,
              q_num.ptr());
    }
    return power(nb::int_(2), q_num);
}

Circuit amp_operator(const Call& call) {
    auto [q_input_arg, q_flip_arg, q_zero_arg, in_operator, flip_operator, zero_flip] =
        call.args<6>();
    nb::object q_input = listed(q_input_arg);
    nb::object q_flip =
        listed(q_flip_arg.is_none() ? list_of(item(q_input, -1)) : nb::borrow(q_flip_arg));
    nb::object q_zero = listed(q_zero_arg.is_none() ? q_input : nb::borrow(q_zero_arg));

    auto prepare = [&]() {
        return in_operator.is_none() ? call.global("apply_QGate")(q_input, call.global("H"))
                                     : in_operator(q_input);
    };
    nb::object prepare_1 = prepare(), prepare_2 = prepare();
    nb::object flip = flip_operator.is_none() ? nb::cast(gate_on(GateKind::Z, item(q_flip, -1)))
                                              : flip_operator(q_flip);
    nb::object reflect =
        zero_flip.is_none() ? nb::cast(reflection_about_zero(call, q_zero)) : zero_flip(q_zero);
    Circuit result;
    append(result, flip);
    append(result, prepare_2.attr("dagger")());
    append(result, reflect);
    append(result, prepare_1);
    return result;
}

Circuit mark_data_reflection(const Call& call) {
    auto [qubits_arg, mark_data_arg] = call.args<2>();
    check_exact_type(qubits_arg, &PyList_Type, "qubits", true);
    nb::object qubits = listed(qubits_arg);
    nb::object mark_data =
        PyUnicode_Check(mark_data_arg.ptr()) ? list_of(mark_data_arg) : nb::borrow(mark_data_arg);
    Circuit flip;
    std::optional<std::pair<std::vector<int>, Gate>> marks;  // read on first use
    for (nb::handle data : mark_data) {
        if (!marks) marks.emplace(to_index_list(qubits, "qubit"), controlled_z_on_last(qubits));
        zero_positions_layer(flip, marks->first, data);
        flip.append(marks->second);
        zero_positions_layer(flip, marks->first, data);
    }
    return flip;
}

nb::object iter_num(const Call& call) {
    auto [q_num, sol_num] = call.args<2>();
    nb::object np = call.global("np");
    nb::object ratio = two_to_the(q_num) / sol_num;
    nb::object best = np.attr("floor")(np.attr("pi") * np.attr("sqrt")(ratio) / nb::int_(4));
    return builtin_int()(best);
}

nb::object iter_analysis(const Call& call) {
    auto [q_num, sol_num, iternum] = call.args<3>();
    nb::object np = call.global("np");
    nb::object sol_prob = sol_num / two_to_the(q_num);
    nb::object theta = np.attr("arcsin")(np.attr("sqrt")(sol_prob)) * nb::int_(2);
    nb::object angle = (nb::int_(2) * iternum + nb::int_(1)) / nb::int_(2) * theta;
    return nb::make_tuple(power(np.attr("sin")(angle), nb::int_(2)), theta);
}

void grover_init(const Call& call) {
    auto [self, in_operator, flip_operator, zero_flip, mark_data, amplify_operator] =
        call.args<6>();
    nb::setattr(self, "in_operator",
                in_operator.is_none() ? call.global("hadamard_circuit") : nb::borrow(in_operator));
    if (flip_operator.is_none() && !mark_data.is_none()) {
        nb::setattr(self, "flip_operator",
                    marked_strings_closure(call.function().globals, mark_data));
    } else {
        nb::setattr(self, "flip_operator", flip_operator);
    }
    nb::setattr(self, "u_s", zero_flip);
    nb::setattr(self, "amplify", amplify_operator);
}

Circuit grover_cir(const Call& call) {
    auto [self, q_input_arg, q_flip_arg, q_zero_arg, iternum] = call.args<5>();
    check_exact_type(iternum, &PyLong_Type, "iternum");
    nb::object q_input = listed(q_input_arg);
    nb::object q_flip = listed(q_flip_arg.is_none() ? q_input : nb::borrow(q_flip_arg));
    nb::object q_zero = listed(q_zero_arg.is_none() ? q_input : nb::borrow(q_zero_arg));
    nb::object q_all = distinct(q_input + q_zero + q_flip);

    nb::object amplify = self.attr("amplify");
    nb::object amp_cir = !amplify.is_none() ? amplify(q_all)
                                            : call.global("amp_operator")(
                                                  q_input, q_flip, q_zero, self.attr("in_operator"),
                                                  self.attr("flip_operator"), self.attr("u_s"));
    Circuit cir;
    append(cir, self.attr("in_operator")(q_input));
    // Without a copy the operator is never appended, so it is never read.
    if (iternum <= nb::int_(0)) return cir;
    // One shared block appended k times: the engine sees the repetition. Each copy is an item of
    // the circuit: what could never fit is refused before the loop, and Ctrl-C stops a long one.
    const Circuit step = to_circuit(amp_cir);
    const long long copies = as_long(iternum);
    kestrix::check_memory(double(copies) * sizeof(kestrix::Item),
                          "a circuit of " + std::to_string(copies) + " Grover operators");
    for (long long k = copies; k > 0; --k) {
        if (k % 65536 == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
        cir.append(step);
    }
    return cir;
}

nb::object marked_strings_flip(const Call& call) {
    auto [mark_data] = call.args<1>();
    return marked_strings_closure(call.function().globals, mark_data);
}

void grover_adaptive_search_init(const Call& call) {
    auto [self, init_value, n_index, init_circuit, oracle_circuit] = call.args<5>();
    nb::setattr(self, "_current_min", init_value);
    nb::setattr(self, "n_index", n_index);
    nb::setattr(self, "n_value", nb::none());
    nb::setattr(self, "init_circuit", init_circuit);
    nb::setattr(self, "oracle_circuit", oracle_circuit);
}

nb::object grover_adaptive_search_init_circuit(const Call& call) {
    auto [self, qlist] = call.args<2>();
    nb::object init_circuit = self.attr("init_circuit");
    if (init_circuit.is_none()) {
        return call.global("hadamard_circuit")(slice_to(qlist, self.attr("n_index")));
    }
    return init_circuit(qlist, self.attr("_current_min"));
}

nb::object grover_adaptive_search_oracle_circuit(const Call& call) {
    auto [self, qlist] = call.args<2>();
    nb::object oracle_circuit = self.attr("oracle_circuit");
    if (oracle_circuit.is_none()) return nb::cast(gate_on(GateKind::Z, item(qlist, -1)));
    return oracle_circuit(qlist, self.attr("_current_min"));
}

nb::object grover_adaptive_search_run(const Call& call) {
    auto [self, continue_times, n_value_function, value_function, rotation_change,
          process_show_arg] = call.args<6>();
    check_exact_type(continue_times, &PyLong_Type, "continue_times");
    const bool process_show = truthy(process_show_arg);
    nb::object print = call.global("print"), np = call.global("np");

    nb::object n_index = self.attr("n_index");
    // The cap first: 2 ** (n_index / 2) overflows a float for any n_index whose 2 ** n_index would
    // take seconds to compute, and refuses it at once.
    const nb::object m_cap = power(nb::int_(2), n_index / nb::int_(2));
    nb::object num_all_solutions = power(nb::int_(2), n_index);
    nb::object machine = call.global("CPUQVM")();
    nb::object minimum_res = self.attr("_current_min");
    nb::list minimum_indexes, indexes_measured;
    long long rotations = 0;
    const nb::object growth = nb::float_(1.34);

    bool finished = false;
    while (!finished) {
        nb::object m = nb::int_(1);
        long long loops_with_no_improvement = 0;
        for (;;) {
            ++rotations;
            nb::object n_value = n_value_function(self.attr("_current_min"));
            nb::setattr(self, "n_value", n_value);
            nb::object q_index_value = call.global("QProg")(n_index + n_value).attr("qubits")();

            nb::object rotation_count;
            if (rotation_change.equal(nb::str("random"))) {
                rotation_count = m < nb::int_(2) ? nb::object(nb::int_(1))
                                                 : np.attr("random").attr("randint")(
                                                       nb::arg("low") = 1, nb::arg("high") = m);
            } else if (rotation_change.equal(nb::str("increase"))) {
                rotation_count = builtin_int()(m);
            } else {
                raise(PyExc_ValueError, "Method not recognized");
            }
            if (process_show)
                print("======searching", loops_with_no_improvement + 1,
                      ",rotation =", rotation_count, "======");

            nb::object grover =
                call.global("Grover")(nb::arg("in_operator") = self.attr("_init_circuit"),
                                      nb::arg("flip_operator") = self.attr("_oracle_circuit"));
            nb::object index_qubits = slice_to(q_index_value, n_index);
            nb::object cir = grover.attr("cir")(
                nb::arg("q_input") = q_index_value, nb::arg("q_flip") = q_index_value,
                nb::arg("q_zero") = index_qubits, nb::arg("iternum") = rotation_count);
            nb::object prog = call.global("QProg")();
            prog << cir;
            prog << call.global("measure_all")(index_qubits, index_qubits);

            machine.attr("run")(prog, nb::arg("shots") = 1);
            nb::object prog_res = machine.attr("result")().attr("get_prob_dict")();
            nb::object outcomes = as_list(prog_res);
            nb::object outcome = item(outcomes, 0);
            nb::object current_value = value_function(outcome);
            nb::object diff = current_value - self.attr("_current_min");

            if (diff < nb::int_(0)) {
                indexes_measured.append(outcome);
                minimum_res = current_value;
                minimum_indexes = nb::list();
                minimum_indexes.append(outcome);
                if (process_show) {
                    print("Current minimum Key: ", outcome);
                    print("Current minimum Value: ", current_value);
                }
                nb::setattr(self, "_current_min", current_value);
                break;  // a new pass under the lower threshold
            }
            ++loops_with_no_improvement;
            if (!contains(indexes_measured, outcome)) indexes_measured.append(outcome);
            if (diff.equal(nb::int_(0))) {
                if (!contains(minimum_indexes, outcome)) minimum_indexes.append(outcome);
                if (process_show) {
                    print("minimum Key Again: ", outcome);
                    print("minimum Value No Change: ", minimum_res);
                }
            }
            nb::object grown = m * growth;
            m = grown < m_cap ? grown : m_cap;
            if (nb::int_(loops_with_no_improvement) >= continue_times ||
                nb::int_(nb::len(indexes_measured)).equal(num_all_solutions)) {
                finished = true;
                break;
            }
        }
    }
    nb::list opt_xs = assignments_of(minimum_indexes, n_index);
    if (process_show) print("rotations: ", rotations);
    return nb::make_tuple(opt_xs, minimum_res);
}

nb::object grover_adaptive_search_bin_to_int(const Call& call) {
    auto [bin_value] = call.args<1>();
    return twos_complement(bin_value);
}

}  // namespace

// The stub's types of the qubit arguments and circuit-building callables shared by several
// functions: a qubit or list of qubits; a callable given the qubit list (and, for the
// adaptive search, the current threshold) that returns what a circuit appends.
constexpr const char* kQubits = "int | collections.abc.Sequence[int] | None";
constexpr const char* kStep =
    "collections.abc.Callable[[list[int]], kestrix.core.QCircuit | kestrix.core.QGate] | None";
constexpr const char* kSearchStep =
    "collections.abc.Callable[[list[int], float], kestrix.core.QCircuit | kestrix.core.QGate] "
    "| None";

NORVALIS_MODULE(halcyte, m) {
    m.import_from("kestrix.core", {"CPUQVM", "QCircuit", "QProg", "Z", "X", "H", "BARRIER"});
    m.import_as("numpy", "np");
    m.import_star("plugin", 2);

    // -----------------------------------------------------------------------------------
    // Grover operators and iteration analysis

    m.def("amp_operator", amp_operator,
          {arg("q_input", nb::none()).typed(kQubits), arg("q_flip", nb::none()).typed(kQubits),
           arg("q_zero", nb::none()).typed(kQubits), arg("in_operator", nb::none()).typed(kStep),
           arg("flip_operator", nb::none()).typed(kStep), arg("zero_flip", nb::none()).typed(kStep),
           returns("kestrix.core.QCircuit")},
          R"DOC(
One Grover (amplitude amplification) operator as a QCircuit: the flip on
q_flip (default Z on the last input qubit), the inverse preparation, the
reflection about zero on q_zero, the preparation on q_input (default H on
every qubit).
)DOC");

    m.def("mark_data_reflection", mark_data_reflection,
          {arg("qubits", nb::none()).typed("list[int] | None"),
           arg("mark_data", nb::none()).typed("str | collections.abc.Sequence[str] | None"),
           returns("kestrix.core.QCircuit")},
          R"DOC(
A QCircuit flipping the phase of each marked bit string, written highest
qubit first (the last character is qubits[0]). `qubits` must be a list.
)DOC");

    m.def("iter_num", iter_num,
          {arg("q_num").typed("int"), arg("sol_num").typed("int"), returns("int")}, R"DOC(
The best number of Grover iterations for sol_num marked states among
2**q_num: int(floor(pi * sqrt(2**q_num / sol_num) / 4)).
)DOC");

    m.def("iter_analysis", iter_analysis,
          {arg("q_num").typed("int"), arg("sol_num").typed("int"), arg("iternum", 1).typed("int"),
           returns("tuple[float, float]")},
          R"DOC(
(prob, theta): the success probability after `iternum` Grover iterations and
the rotation angle theta = 2 arcsin(sqrt(sol_num / 2**q_num)).
)DOC");

    auto grover = m.define_class("Grover", R"DOC(
A Grover search: a preparation (default H on every qubit), a flip operator
(or mark_data, bit strings to mark), an optional zero reflection and an
optional replacement for the whole Grover operator.
)DOC");

    grover.method("__init__", grover_init,
                  {arg("self"), arg("in_operator", nb::none()), arg("flip_operator", nb::none()),
                   arg("zero_flip", nb::none()),
                   arg("mark_data", nb::none()).typed("str | collections.abc.Sequence[str] | None"),
                   arg("amplify_operator", nb::none()), returns("None")},
                  "Stores the operators as in_operator, flip_operator, u_s and amplify.");

    grover.method("cir", grover_cir,
                  {arg("self"), arg("q_input", nb::none()), arg("q_flip", nb::none()),
                   arg("q_zero", nb::none()), arg("iternum", 1).typed("int"),
                   returns("kestrix.core.QCircuit")},
                  R"DOC(
A new QCircuit: the preparation on q_input, then `iternum` Grover operators.
q_flip and q_zero default to q_input; `iternum` must be an int.
)DOC");
    grover.finish();

    m.def("_marked_strings_flip", marked_strings_flip, {arg("mark_data")}, R"DOC(
The flip operator s_f that Grover(mark_data=...) keeps; unpickling a Grover
remakes it here.
)DOC");

    // -----------------------------------------------------------------------------------
    // Grover adaptive search

    auto search = m.define_class("GroverAdaptiveSearch", R"DOC(
Minimises a function of n_index binary variables by one-shot Grover searches
whose oracle marks the assignments better than the best value found so far.
)DOC");

    search.method("__init__", grover_adaptive_search_init,
                  {arg("self"), arg("init_value").typed("float"), arg("n_index").typed("int"),
                   arg("init_circuit", nb::none()).typed(kSearchStep),
                   arg("oracle_circuit", nb::none()).typed(kSearchStep), returns("None")},
                  R"DOC(
init_value is the starting threshold; init_circuit(qubits, value) and
oracle_circuit(qubits, value) are optional callables.
)DOC");

    search.method("_init_circuit", grover_adaptive_search_init_circuit, {arg("self"), arg("qlist")},
                  "The search-state preparation on the whole register.");

    search.method("_oracle_circuit", grover_adaptive_search_oracle_circuit,
                  {arg("self"), arg("qlist")},
                  "The oracle marking assignments below the current threshold.");

    search.method(
        "run", grover_adaptive_search_run,
        {arg("self"), arg("continue_times", 3).typed("int"),
         arg("n_value_function", nb::none()).typed("collections.abc.Callable[[float], int] | None"),
         arg("value_function", nb::none()).typed("collections.abc.Callable[[str], float] | None"),
         arg("rotation_change", "random").typed("str"), arg("process_show", false).typed("bool"),
         returns("tuple[list[list[int]], float]")},
        R"DOC(
(opt_xs, minimum_res): the assignments reaching the best value (each a list
of 0/1, variable 0 first) and that value. Stops after continue_times
searches without improvement or once every assignment has been sampled.
)DOC");

    search.static_method("_bin_to_int", grover_adaptive_search_bin_to_int, {arg("bin_value")},
                         "Decodes a two's-complement bit string.");
    search.finish();
}
