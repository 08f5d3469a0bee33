// norvalis.Grover.halcyte: Grover operators, marking oracles, iteration analysis, the
// Grover search circuit and Grover adaptive search for minimisation.
//
// Circuits are built with the libkestrix C++ API and handed out as kestrix.core.QCircuit.
// User callables, the plugin helpers and this module's own functions are called through
// the module's namespace at call time, so replacing one on the module takes effect.
#include <nanobind/nanobind.h>

#include <optional>

#include "norvalis/frame/errors.h"
#include "norvalis/frame/module.h"
#include "norvalis/frame/values.h"
#include "kestrix/bind/convert.h"
#include "kestrix/lib/circuit.h"

namespace {

namespace nb = nanobind;
using kestrix::Circuit;
using kestrix::Gate;
using kestrix::GateKind;
using norvalis::frame::arg;
using norvalis::frame::Call;
using norvalis::frame::distinct;
using norvalis::frame::item;
using norvalis::frame::length;
using norvalis::frame::list_of;
using norvalis::frame::listed;
using norvalis::frame::power;
using norvalis::frame::slice;
using norvalis::frame::slice_to;

Gate one_qubit_gate(GateKind kind, nb::handle qubit) {
    return kestrix::make_gate(kind, {kestrix::py::to_index(qubit, "qubit")});
}

// Z on the last qubit of the list, controlled by all the others.
Gate controlled_z_on_last(nb::handle qubits) {
    return one_qubit_gate(GateKind::Z, item(qubits, -1))
        .controlled(kestrix::py::to_index_list(slice(qubits, std::nullopt, -1), "control qubit"));
}

// The builtin int, for int(x) and int(text, 2).
nb::handle int_type() { return reinterpret_cast<PyObject*>(&PyLong_Type); }

nb::object as_circuit(Circuit c) { return nb::cast(std::move(c)); }

// For each qubit j: X where data[-j-1] is "0", else a BARRIER on it.
void zero_positions_layer(Circuit& c, nb::handle qubits, nb::handle data, Py_ssize_t n) {
    nb::str zero("0");
    for (Py_ssize_t j = 0; j < n; ++j) {
        nb::object q = item(qubits, j);
        if (item(data, -j - 1).equal(zero)) {
            c.append(one_qubit_gate(GateKind::X, q));
        } else {
            c.append(kestrix::make_gate(GateKind::BARRIER, {kestrix::py::to_index(q, "qubit")}));
        }
    }
}

// ---------------------------------------------------------------------------------------
// Grover operators and iteration analysis

// The Grover operator: flip F, inverse preparation, reflection about zero R, preparation.
nb::object amp_operator(const Call& call) {
    nb::handle in_operator = call[3], flip_operator = call[4], zero_flip = call[5];
    nb::object q_input = listed(call[0]);
    nb::object q_flip = listed(call[1].is_none() ? list_of(item(q_input, -1))
                                                 : nb::borrow(call[1]));
    nb::object q_zero = listed(call[2].is_none() ? q_input : nb::borrow(call[2]));

    auto prepare = [&]() {
        return in_operator.is_none() ? call.global("apply_QGate")(q_input, call.global("H"))
                                     : in_operator(q_input);
    };
    nb::object prepare_1 = prepare(), prepare_2 = prepare();

    nb::object flip = flip_operator.is_none()
                          ? nb::cast(one_qubit_gate(GateKind::Z, item(q_flip, -1)))
                          : flip_operator(q_flip);

    nb::object reflect;
    if (!zero_flip.is_none()) {
        reflect = zero_flip(q_zero);
    } else if (length(q_zero) == 1) {
        nb::object q = item(q_zero, 0);
        Circuit r;
        r.append(one_qubit_gate(GateKind::X, q));
        r.append(one_qubit_gate(GateKind::Z, q));
        r.append(one_qubit_gate(GateKind::X, q));
        reflect = as_circuit(std::move(r));
    } else {
        nb::object apply_gate = call.global("apply_QGate"), X = call.global("X");
        Circuit r;
        kestrix::py::append_object(r, apply_gate(q_zero, X));
        kestrix::py::append_object(
            r, apply_gate(list_of(item(q_zero, -1)), call.global("Z"))
                   .attr("control")(slice(q_zero, std::nullopt, -1)));
        kestrix::py::append_object(r, apply_gate(q_zero, X));
        reflect = as_circuit(std::move(r));
    }

    Circuit result;
    kestrix::py::append_object(result, flip);
    kestrix::py::append_object(result, prepare_2.attr("dagger")());
    kestrix::py::append_object(result, reflect);
    kestrix::py::append_object(result, prepare_1);
    return as_circuit(std::move(result));
}

// One X-conjugated multi-controlled Z per marked string, in order.
nb::object mark_data_reflection(const Call& call) {
    norvalis::frame::check_exact_type(call[0], &PyList_Type, "qubits", true);
    nb::object qubits = listed(call[0]);
    nb::object mark_data = PyUnicode_Check(call[1].ptr()) ? list_of(call[1])
                                                          : nb::borrow(call[1]);
    const Py_ssize_t n = length(qubits);
    Circuit flip;
    for (nb::handle data : mark_data) {
        zero_positions_layer(flip, qubits, data, n);
        flip.append(controlled_z_on_last(qubits));
        zero_positions_layer(flip, qubits, data, n);
    }
    return as_circuit(std::move(flip));
}

// int(floor(pi * sqrt(2**q_num / sol_num) / 4))
nb::object iter_num(const Call& call) {
    nb::object np = call.global("np");
    nb::object ratio = power(nb::int_(2), call[0]) / call[1];
    nb::object best = np.attr("floor")(np.attr("pi") * np.attr("sqrt")(ratio) / nb::int_(4));
    return int_type()(best);
}

// (sin((2 k + 1) theta / 2)**2, theta) with theta = 2 arcsin(sqrt(sol_num / 2**q_num)).
nb::object iter_analysis(const Call& call) {
    nb::object np = call.global("np");
    nb::object sol_prob = call[1] / power(nb::int_(2), call[0]);
    nb::object theta = np.attr("arcsin")(np.attr("sqrt")(sol_prob)) * nb::int_(2);
    nb::object angle = (nb::int_(2) * call[2] + nb::int_(1)) / nb::int_(2) * theta;
    nb::object prob = power(np.attr("sin")(angle), nb::int_(2));
    return nb::make_tuple(prob, theta);
}

void grover_init(const Call& call) {
    nb::handle self = call[0], in_operator = call[1], flip_operator = call[2],
               zero_flip = call[3], mark_data = call[4], amplify_operator = call[5];
    nb::setattr(self, "in_operator",
                in_operator.is_none() ? call.global("hadamard_circuit") : nb::borrow(in_operator));
    if (flip_operator.is_none() && !mark_data.is_none()) {
        nb::setattr(self, "flip_operator",
                    norvalis::frame::make_closure(
                        call, "s_f", {arg("qubits")},
                        "Phase flip of the marked strings on these qubits.",
                        nb::make_tuple(mark_data), [](const Call& inner) {
                            return inner.global("mark_data_reflection")(inner[0],
                                                                        inner.captured(0));
                        }));
    } else {
        nb::setattr(self, "flip_operator", flip_operator);
    }
    nb::setattr(self, "u_s", zero_flip);
    nb::setattr(self, "amplify", amplify_operator);
}

// The initial state followed by `iternum` copies of one Grover operator.
nb::object grover_cir(const Call& call) {
    nb::handle self = call[0];
    norvalis::frame::check_exact_type(call[4], &PyLong_Type, "iternum", false);
    nb::object q_input = listed(call[1]);
    nb::object q_flip = listed(call[2].is_none() ? q_input : nb::borrow(call[2]));
    nb::object q_zero = listed(call[3].is_none() ? q_input : nb::borrow(call[3]));
    nb::object q_all = distinct(q_input + q_zero + q_flip);

    nb::object amplify = self.attr("amplify");
    nb::object amp_cir =
        !amplify.is_none()
            ? amplify(q_all)
            : call.global("amp_operator")(q_input, q_flip, q_zero, self.attr("in_operator"),
                                          self.attr("flip_operator"), self.attr("u_s"));
    Circuit cir;
    kestrix::py::append_object(cir, self.attr("in_operator")(q_input));
    Circuit step;
    kestrix::py::append_object(step, amp_cir);
    const long long iternum = PyLong_AsLongLong(call[4].ptr());
    if (iternum == -1 && PyErr_Occurred()) throw nb::python_error();
    for (long long k = iternum; k > 0; --k) cir.append(step);
    return as_circuit(std::move(cir));
}

// ---------------------------------------------------------------------------------------
// Grover adaptive search

void adaptive_init(const Call& call) {
    nb::handle self = call[0];
    nb::setattr(self, "_current_min", call[1]);
    nb::setattr(self, "n_index", call[2]);
    nb::setattr(self, "n_value", nb::none());
    nb::setattr(self, "init_circuit", call[3]);
    nb::setattr(self, "oracle_circuit", call[4]);
}

nb::object adaptive_init_circuit(const Call& call) {
    nb::handle self = call[0], qlist = call[1];
    nb::object init_circuit = self.attr("init_circuit");
    if (init_circuit.is_none()) {
        return call.global("hadamard_circuit")(slice_to(qlist, self.attr("n_index")));
    }
    return init_circuit(qlist, self.attr("_current_min"));
}

nb::object adaptive_oracle_circuit(const Call& call) {
    nb::handle self = call[0], qlist = call[1];
    nb::object oracle_circuit = self.attr("oracle_circuit");
    if (oracle_circuit.is_none()) return nb::cast(one_qubit_gate(GateKind::Z, item(qlist, -1)));
    return oracle_circuit(qlist, self.attr("_current_min"));
}

bool truthy(nb::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

bool contains(nb::handle list, nb::handle value) {
    const int result = PySequence_Contains(list.ptr(), value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// Repeated one-shot Grover searches with a falling threshold (see the class docstring).
nb::object adaptive_run(const Call& call) {
    nb::handle self = call[0];
    norvalis::frame::check_exact_type(call[1], &PyLong_Type, "continue_times", false);
    nb::handle continue_times = call[1], n_value_function = call[2], value_function = call[3],
               rotation_change = call[4];
    const bool process_show = truthy(call[5]);
    nb::object print = call.global("print"), np = call.global("np");

    nb::object n_index = self.attr("n_index");
    nb::object num_all_solutions = power(nb::int_(2), n_index);
    nb::object machine = call.global("CPUQVM")();
    nb::object minimum_res = self.attr("_current_min");
    nb::list minimum_indexes, indexes_measured;
    long long rotations = 0;
    const nb::object growth = nb::float_(1.34);
    const nb::object m_cap = power(nb::int_(2), n_index / nb::int_(2));

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
                rotation_count = m < nb::int_(2)
                                     ? nb::object(nb::int_(1))
                                     : np.attr("random").attr("randint")(
                                           nb::arg("low") = 1, nb::arg("high") = m);
            } else if (rotation_change.equal(nb::str("increase"))) {
                rotation_count = int_type()(m);
            } else {
                norvalis::frame::raise(PyExc_ValueError, "Method not recognized");
            }
            if (process_show)
                print("======searching", loops_with_no_improvement + 1, ",rotation =",
                      rotation_count, "======");

            nb::object grover = call.global("Grover")(
                nb::arg("in_operator") = self.attr("_init_circuit"),
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
            nb::object outcomes = nb::steal(PySequence_List(prog_res.ptr()));
            if (!outcomes.is_valid()) throw nb::python_error();
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

    nb::list opt_xs;
    nb::object width = nb::str(n_index);
    for (nb::handle key : distinct(minimum_indexes)) {
        nb::object padded = nb::steal(PyObject_Format(key.ptr(), width.ptr()));
        if (!padded.is_valid()) throw nb::python_error();
        nb::list bits;
        for (nb::handle ch : padded) bits.append(ch.equal(nb::str("1")) ? 1 : 0);
        bits.reverse();
        opt_xs.append(bits);
    }
    if (process_show) print("rotations: ", rotations);
    return nb::make_tuple(opt_xs, minimum_res);
}

// Two's complement: a leading "1" gives int(bits, 2) - 2.0 ** len(bits), a float.
nb::object bin_to_int(const Call& call) {
    nb::handle bin_value = call[0];
    nb::object n_value = nb::int_(nb::len(bin_value));
    nb::object as_int = int_type()(bin_value, 2);
    if (truthy(bin_value.attr("startswith")("1")))
        return as_int - power(nb::float_(2.0), n_value);
    return as_int;
}

nb::object none_after(void (*f)(const Call&), const Call& call) {
    f(call);
    return nb::none();
}

}  // namespace

NORVALIS_MODULE(halcyte, m) {
    m.import_from("kestrix.core", {"CPUQVM", "QCircuit", "QProg", "Z", "X", "H", "BARRIER"});
    m.import_as("numpy", "np");
    m.import_star("plugin", 2);

    m.def("amp_operator",
          {arg("q_input", nb::none()), arg("q_flip", nb::none()), arg("q_zero", nb::none()),
           arg("in_operator", nb::none()), arg("flip_operator", nb::none()),
           arg("zero_flip", nb::none())},
          "One Grover (amplitude amplification) operator as a QCircuit: the flip on\n"
          "q_flip (default Z on the last input qubit), the inverse preparation, the\n"
          "reflection about zero on q_zero, the preparation on q_input (default H on\n"
          "every qubit).",
          amp_operator);

    m.def("mark_data_reflection", {arg("qubits", nb::none()), arg("mark_data", nb::none())},
          "A QCircuit flipping the phase of each marked bit string, written highest\n"
          "qubit first (the last character is qubits[0]). `qubits` must be a list.",
          mark_data_reflection);

    m.def("iter_num", {arg("q_num"), arg("sol_num")},
          "The best number of Grover iterations for sol_num marked states among\n"
          "2**q_num.",
          iter_num);

    m.def("iter_analysis", {arg("q_num"), arg("sol_num"), arg("iternum", 1)},
          "(prob, theta): the success probability after `iternum` Grover iterations and\n"
          "the rotation angle theta = 2 arcsin(sqrt(sol_num / 2**q_num)).",
          iter_analysis);

    auto grover = m.define_class(
        "Grover",
        "A Grover search: a preparation (default H on every qubit), a flip operator\n"
        "(or mark_data, bit strings to mark), an optional zero reflection and an\n"
        "optional replacement for the whole Grover operator.");
    grover.method("__init__",
                  {arg("self"), arg("in_operator", nb::none()), arg("flip_operator", nb::none()),
                   arg("zero_flip", nb::none()), arg("mark_data", nb::none()),
                   arg("amplify_operator", nb::none())},
                  "Stores the operators as in_operator, flip_operator, u_s and amplify.",
                  [](const Call& call) { return none_after(grover_init, call); });
    grover.method("cir",
                  {arg("self"), arg("q_input", nb::none()), arg("q_flip", nb::none()),
                   arg("q_zero", nb::none()), arg("iternum", 1)},
                  "A new QCircuit: the preparation on q_input, then `iternum` Grover operators.\n"
                  "q_flip and q_zero default to q_input; `iternum` must be an int.",
                  grover_cir);
    grover.finish();

    auto search = m.define_class(
        "GroverAdaptiveSearch",
        "Minimises a function of n_index binary variables by one-shot Grover searches\n"
        "whose oracle marks the assignments better than the best value found so far.");
    search.method("__init__",
                  {arg("self"), arg("init_value"), arg("n_index"), arg("init_circuit", nb::none()),
                   arg("oracle_circuit", nb::none())},
                  "init_value is the starting threshold; init_circuit(qubits, value) and\n"
                  "oracle_circuit(qubits, value) are optional callables.",
                  [](const Call& call) { return none_after(adaptive_init, call); });
    search.method("_init_circuit", {arg("self"), arg("qlist")},
                  "The search-state preparation on the whole register.", adaptive_init_circuit);
    search.method("_oracle_circuit", {arg("self"), arg("qlist")},
                  "The oracle marking assignments below the current threshold.",
                  adaptive_oracle_circuit);
    search.method("run",
                  {arg("self"), arg("continue_times", 3), arg("n_value_function", nb::none()),
                   arg("value_function", nb::none()), arg("rotation_change", "random"),
                   arg("process_show", false)},
                  "(opt_xs, minimum_res): the assignments reaching the best value (each a list\n"
                  "of 0/1, variable 0 first) and that value. Stops after continue_times\n"
                  "searches without improvement or once every assignment has been sampled.",
                  adaptive_run);
    search.static_method("_bin_to_int", {arg("bin_value")},
                         "Decodes a two's-complement bit string.", bin_to_int);
    search.finish();
}
