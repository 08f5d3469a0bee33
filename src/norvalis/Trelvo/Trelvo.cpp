// norvalis.Trelvo.Trelvo: variational singular-value decomposition. The padded, normalised
// matrix is amplitude-encoded on a row and a column register, a layered RY / controlled-X
// ansatz acts on each, and SciPy's SLSQP trains the angles until the state's weight sits on
// the basis states whose two register values agree.
//
// `loss` runs hundreds to thousands of times per training, so it builds the encoding and
// both ansätze with the libkestrix C++ API and reads one exact state evolution; it goes
// through Python only for a `cir` that a subclass or caller has replaced.
#include <nanobind/ndarray.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/lib/ir/encode.h"
#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;
using kestrix::cplx;

// getattr(obj, name) as a non-negative machine integer, read through __index__ as range()
// would read it.
Py_ssize_t index_attr(nb::handle obj, const char* name) {
    nb::object value = obj.attr(name);
    const Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (n < 0) raise(PyExc_ValueError, "SVD.%s must not be negative, got %zd", name, n);
    return n;
}

Py_ssize_t product(Py_ssize_t a, Py_ssize_t b) {
    Py_ssize_t out;
    if (__builtin_mul_overflow(a, b, &out)) raise(PyExc_OverflowError, "too many parameters");
    return out;
}

// The buffer of a 1-D float64 array (what SLSQP passes); not usable for any other value,
// which is then indexed item by item as Python would. No Python code runs while it is read.
class FloatBuffer {
  public:
    explicit FloatBuffer(nb::handle value) {
        if (!PyObject_CheckBuffer(value.ptr())) return;
        if (PyObject_GetBuffer(value.ptr(), &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            return;
        }
        const char* f = view_.format ? view_.format : "B";
        usable_ = (std::strcmp(f, "d") == 0 || std::strcmp(f, "=d") == 0 ||
                   std::strcmp(f, "<d") == 0 || std::strcmp(f, "@d") == 0) &&
                  view_.ndim == 1 && view_.itemsize == sizeof(double);
        if (!usable_) PyBuffer_Release(&view_);
    }
    ~FloatBuffer() {
        if (usable_) PyBuffer_Release(&view_);
    }
    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;

    bool usable() const { return usable_; }
    Py_ssize_t size() const { return view_.shape[0]; }
    double operator[](Py_ssize_t k) const {
        return *reinterpret_cast<const double*>(static_cast<const char*>(view_.buf) +
                                                k * view_.strides[0]);
    }

  private:
    Py_buffer view_{};
    bool usable_ = false;
};

// The angles of a parameter vector, or of its slice para[start : start + count] as loss
// hands it to cir: straight from a float64 buffer, else through Python indexing.
class Angles {
  public:
    explicit Angles(nb::handle para) : buffer_(para) {
        if (buffer_.usable()) {
            limit_ = buffer_.size();
        } else {
            items_ = nb::borrow(para);
        }
    }
    Angles(nb::handle para, Py_ssize_t start, Py_ssize_t count) : buffer_(para) {
        if (buffer_.usable()) {
            start_ = start;
            limit_ = std::max<Py_ssize_t>(0, std::min(start + count, buffer_.size()) - start);
        } else {
            items_ = slice(para, start, start + count);
        }
    }

    double operator()(Py_ssize_t k) const {
        if (items_.is_valid()) return to_angle(item(items_, k), "angle");
        if (k >= limit_) {
            raise(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", k,
                  limit_);
        }
        return buffer_[start_ + k];
    }

  private:
    FloatBuffer buffer_;
    nb::object items_;
    Py_ssize_t start_ = 0, limit_ = 0;
};

// The ansatz: `depth` layers of RY(q_j, angle j + n * layer) on every qubit, then a ladder of
// X(q_{j+1}) controlled by q_j.
Circuit ansatz(const std::vector<int>& qubits, const Angles& angles, Py_ssize_t depth) {
    Circuit c;
    const Py_ssize_t n = Py_ssize_t(qubits.size());
    if (n == 0) return c;
    for (Py_ssize_t layer = 0; layer < depth; ++layer) {
        for (Py_ssize_t j = 0; j < n; ++j)
            c.append(make_gate(GateKind::RY, {qubits[j]}, {angles(j + n * layer)}));
        for (Py_ssize_t j = 0; j + 1 < n; ++j)
            c.append(make_gate(GateKind::X, {qubits[j + 1]}).controlled({qubits[j]}));
    }
    return c;
}

// The qubits first .. first + count - 1, refused (MemoryError) before anything is allocated
// when no state of first + count qubits would fit in memory.
std::vector<int> qubit_range(Py_ssize_t first, Py_ssize_t count) {
    kestrix::check_fits_in_memory(first > 60 || count > 60 ? 61 : int(first + count));
    std::vector<int> q(count);
    for (Py_ssize_t k = 0; k < count; ++k) q[k] = int(first + k);
    return q;
}

template <class T>
std::vector<cplx> divided(const void* buffer, size_t count, double norm) {
    const T* x = static_cast<const T*>(buffer);
    std::vector<cplx> data(count);
    for (size_t k = 0; k < count; ++k) data[k] = double(x[k]) / norm;
    return data;
}

// q_matrix.flatten() / normal_value: read straight from a float64 or int64 matrix (what the
// constructor makes of real input), else through NumPy as a complex vector.
std::vector<cplx> unit_data(const Call& call, nb::handle q_matrix, nb::handle normal_value) {
    if (normal_value.equal(nb::int_(0)))
        raise(PyExc_ValueError, "the matrix is all zero: it has no singular vectors to find");
    if (PyFloat_Check(normal_value.ptr())) {
        const double norm = PyFloat_AS_DOUBLE(normal_value.ptr());
        Py_buffer view;
        if (PyObject_GetBuffer(q_matrix.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            const std::string_view format = view.format ? view.format : "B";
            std::optional<std::vector<cplx>> data;
            if (format == "d" && view.itemsize == 8) {
                data = divided<double>(view.buf, view.len / 8, norm);
            } else if ((format == "l" || format == "q") && view.itemsize == 8) {
                data = divided<int64_t>(view.buf, view.len / 8, norm);
            }
            PyBuffer_Release(&view);
            if (data) return std::move(*data);
        } else {
            PyErr_Clear();
        }
    }
    nb::object np = call.global("np");
    nb::object v = np.attr("ascontiguousarray")(q_matrix.attr("flatten")() / normal_value,
                                                nb::arg("dtype") = np.attr("complex128"));
    Py_buffer view;
    if (PyObject_GetBuffer(v.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
    const cplx* begin = static_cast<const cplx*>(view.buf);
    std::vector<cplx> data(begin, begin + view.len / sizeof(cplx));
    PyBuffer_Release(&view);
    return data;
}

// The amplitude encoding of `data` on `qubits`. A 1 x 1 matrix has no qubits to encode on:
// its state is the single entry itself, which must then have magnitude 1.
Circuit encoding(const std::vector<int>& qubits, const std::vector<cplx>& data) {
    if (!qubits.empty()) return kestrix::amplitude_encode(qubits, data);
    if (data.size() != 1 || !(std::abs(std::abs(data[0]) - 1) <= 1e-8))
        raise(PyExc_ValueError, "a 1 x 1 matrix must encode to one entry of magnitude 1");
    return Circuit();
}

// A new float64 NumPy array of the given shape holding `values`.
nb::object numpy_array(std::vector<double> values, std::initializer_list<size_t> shape) {
    auto* held = new std::vector<double>(std::move(values));
    nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
    return nb::cast(nb::ndarray<nb::numpy, double>(held->data(), shape, owner));
}

std::vector<double> real_parts(const kestrix::StateVector& state) {
    std::vector<double> out(state.size());
    for (size_t k = 0; k < out.size(); ++k) out[k] = state.data()[k].real();
    return out;
}

// The ansatz on `qubits` for para[offset : offset + count]: built here, or by a replaced
// self.cir called as loss calls it. (Any instance's binding of SVD.cir counts as the own.)
Circuit register_ansatz(nb::handle cir, const std::vector<int>& qubits, nb::handle para,
                        Py_ssize_t offset, Py_ssize_t count, Py_ssize_t depth) {
    if (is_original_method(cir, "SVD.cir"))
        return ansatz(qubits, Angles(para, offset, count), depth);
    return to_circuit(cir(nb::arg("qlist") = int_list(qubits),
                          nb::arg("para") = slice(para, offset, offset + count)));
}

void svd_init(const Call& call) {
    auto [self, matrix_in, depth] = call.args<3>();
    nb::object np = call.global("np");
    nb::object matrix = np.attr("array")(matrix_in);
    nb::setattr(self, "matrix", matrix);
    nb::object shape = matrix.attr("shape");
    if (length(shape) != 2) raise(PyExc_TypeError, "please input data with 2 dimension !");
    // Any value equal to 2..10 is accepted; the int it equals is kept, so that range() and the
    // parameter count work with it.
    std::optional<long> layers;
    for (long d = 2; d <= 10 && !layers; ++d)
        if (nb::int_(d).equal(depth)) layers = d;
    if (!layers) raise(PyExc_ValueError, "please input integer number in 2~10 !");
    const Py_ssize_t rows = nb::cast<Py_ssize_t>(item(shape, 0));
    const Py_ssize_t cols = nb::cast<Py_ssize_t>(item(shape, 1));
    if (rows == 0 || cols == 0) {
        raise(PyExc_ValueError, "SVD needs at least one row and one column, got shape %S",
              shape.ptr());
    }
    // ceil(log2(size)): the qubits that index `size` values.
    auto qubits_for = [](Py_ssize_t size) {
        int q = 0;
        while ((Py_ssize_t{1} << q) < size) ++q;
        return q;
    };
    const int q0 = qubits_for(rows), q1 = qubits_for(cols);
    nb::setattr(self, "q0", nb::int_(q0));
    nb::setattr(self, "q1", nb::int_(q1));
    nb::object padding = nb::make_tuple(nb::make_tuple(0, (Py_ssize_t{1} << q0) - rows),
                                        nb::make_tuple(0, (Py_ssize_t{1} << q1) - cols));
    nb::setattr(self, "q_matrix", np.attr("pad")(matrix, padding));
    nb::object squares = power(matrix.attr("copy")().attr("flatten")(), nb::int_(2));
    nb::setattr(self, "normal_value", power(np.attr("sum")(squares), nb::float_(0.5)));
    nb::setattr(self, "iter_depth", nb::int_(*layers));
    nb::object count = nb::int_((q0 + q1) * *layers);
    nb::setattr(self, "parameter",
                nb::float_(0.5) * np.attr("pi") * np.attr("random").attr("random")(count));
}

Circuit svd_cir(const Call& call) {
    auto [self, qlist, para] = call.args<3>();
    // The layer count is read first, as the layer loop reads it, then the qubits (separate
    // statements: argument order is unspecified).
    const Py_ssize_t depth = index_attr(self, "iter_depth");
    const std::vector<int> qubits = to_index_list(qlist, "qubit");
    return ansatz(qubits, Angles(para), depth);
}

nb::object svd_loss(const Call& call) {
    auto [self, ls, return_type] = call.args<3>();
    const Py_ssize_t q0 = index_attr(self, "q0"), q1 = index_attr(self, "q1");
    const Py_ssize_t depth = index_attr(self, "iter_depth");
    const std::vector<int> qvec0 = qubit_range(0, q0);
    const std::vector<int> qvec1 = qubit_range(q0, q1);
    std::vector<int> columns_first = qvec1;
    columns_first.insert(columns_first.end(), qvec0.begin(), qvec0.end());

    nb::object q_matrix = self.attr("q_matrix");
    const std::vector<cplx> data = unit_data(call, q_matrix, self.attr("normal_value"));
    Circuit cir = encoding(columns_first, data);
    nb::object cir_method = self.attr("cir");
    const Py_ssize_t row_angles = product(q0, depth);
    cir.append(register_ansatz(cir_method, qvec0, ls, 0, row_angles, depth));
    cir.append(register_ansatz(cir_method, qvec1, ls, row_angles, product(q1, depth), depth));
    kestrix::StateVector state = evolve(cir, int(q0 + q1));
    if (columns_first.empty()) state.data()[0] *= data[0];

    const size_t row_values = size_t{1} << q0, col_values = size_t{1} << q1;
    if (truthy(return_type)) {
        // As the normalised probability list reads it: each probability divided by their total, the
        // agreeing ones summed.
        double total = 0;
        for (size_t k = 0; k < state.size(); ++k) total += std::norm(state.data()[k]);
        double same = 0;
        for (size_t r = 0; r < std::min(row_values, col_values); ++r)
            same += std::norm(state.data()[r * row_values + r]) / total;
        return nb::float_(1 - same);
    }
    std::vector<double> phase = real_parts(state);
    size_t largest = 0;
    for (size_t k = 1; k < phase.size(); ++k)
        if (std::abs(phase[k]) > std::abs(phase[largest])) largest = k;
    return nb::make_tuple(numpy_array(std::move(phase), {col_values, row_values}), largest);
}

// The documented sign of a miss: in the measured runs a loss at or below this left the
// singular values within about 1e-6 of numpy.linalg.svd's (relative); restarts stop there.
constexpr double kTrainedLoss = 1e-8;

// restarts or maxiter: an integer (not a bool) of at least `least`.
long long whole_option(nb::handle value, const char* name, long long least) {
    if (!kestrix::py::is_integer_scalar(value))
        raise(PyExc_TypeError, "%s must be an integer, got %s", name,
              Py_TYPE(value.ptr())->tp_name);
    nb::object index = as_index(value);
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && n < least))
        raise(PyExc_ValueError, "%s must be at least %lld, got %S", name, least, index.ptr());
    if (overflow > 0) raise(PyExc_ValueError, "%s %S is too large", name, index.ptr());
    return n;
}

// What Trelvo_min's per-iteration hook keeps between SLSQP's calls: the iterations so far
// (numbered across restarts), the progress bar, and whether the caller's callback asked to
// stop. Owned by a capsule, so a hook kept past the call (by a replaced minimize, say) finds
// it still there, closed.
struct Watch {
    std::unique_ptr<Progress> progress;
    long long iterations = 0;
    bool stopped = false;
    bool closed = false;
};

Watch& watch_of(nb::handle capsule) {
    return *static_cast<Watch*>(PyCapsule_GetPointer(capsule.ptr(), nullptr));
}

// SciPy's callback(intermediate_result) for SLSQP: numbers the iteration, shows its loss,
// calls the caller's callback(iteration, x, loss), and ends SLSQP with StopIteration when
// that returns true. A replaced minimize that passes only x gets the loss computed here.
nb::object svd_Trelvo_min_step(const Call& call) {
    auto [intermediate_result] = call.args<1>();
    nb::handle self = call.captured(0), callback = call.captured(1);
    Watch& watch = watch_of(call.captured(2));
    if (watch.closed) return nb::none();
    nb::object x, loss;
    if (nb::hasattr(intermediate_result, "x") && nb::hasattr(intermediate_result, "fun")) {
        x = intermediate_result.attr("x");
        loss = nb::float_(as_double(intermediate_result.attr("fun")));
    } else {
        x = nb::borrow(intermediate_result);
        loss = nb::float_(as_double(self.attr("loss")(x)));
    }
    ++watch.iterations;
    if (watch.progress->shown())
        watch.progress->advance(1, std::string("loss ") + nb::repr(loss).c_str());
    if (callback.is_none()) return nb::none();
    bool stop;
    try {
        stop = truthy(callback(watch.iterations, x, loss));
    } catch (nb::python_error& e) {
        // SciPy's own way to stop, raised by the callback itself, stops the restarts too.
        watch.stopped = e.matches(PyExc_StopIteration);
        throw;
    }
    if (stop) {
        watch.stopped = true;
        raise(PyExc_StopIteration, "Trelvo_min's callback asked to stop");
    }
    return nb::none();
}

nb::object svd_Trelvo_min(const Call& call) {
    auto [self, restarts_in, tol, maxiter, callback, verbose] = call.args<6>();
    const long long restarts = whole_option(restarts_in, "restarts", 0);
    if (PyBool_Check(tol.ptr()) || !PyNumber_Check(tol.ptr()) || PyComplex_Check(tol.ptr()))
        raise(PyExc_TypeError, "tol must be a real number, got %s", Py_TYPE(tol.ptr())->tp_name);
    if (const double t = as_double(tol); !(t > 0) || !std::isfinite(t))
        raise(PyExc_ValueError, "tol must be positive and finite, got %R", tol.ptr());
    if (!maxiter.is_none()) whole_option(maxiter, "maxiter", 1);
    if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
        raise(PyExc_TypeError, "callback must be callable or None, got %.200s",
              Py_TYPE(callback.ptr())->tp_name);

    nb::object x0 = self.attr("parameter");
    if (length(x0) == 0)
        return call.global("np").attr("array")(
            x0, nb::arg("dtype") = nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)));
    // SciPy is handed a hook only when the caller asked for one: without callback and
    // verbose, minimize is called exactly as before the options.
    nb::object hook = nb::none();
    auto* watch_data = new Watch;
    nb::capsule watch_owner(watch_data, [](void* p) noexcept { delete static_cast<Watch*>(p); });
    // One start runs SciPy's default of 100 iterations unless maxiter says otherwise.
    const long long per_start = maxiter.is_none() ? 100 : whole_option(maxiter, "maxiter", 1);
    watch_data->progress = std::make_unique<Progress>(
        verbose, "Trelvo_min iterations",
        restarts == 0 ? std::optional<Py_ssize_t>(per_start) : std::nullopt);
    if (!callback.is_none() || watch_data->progress->shown()) {
        hook = closure(call, "step", {arg("intermediate_result")},
                       "Trelvo_min's hook for SciPy: progress and the caller's callback.",
                       nb::make_tuple(self, callback, watch_owner), svd_Trelvo_min_step);
    }
    struct Finish {
        Watch& watch;
        ~Finish() {
            watch.closed = true;
            watch.progress.reset();  // its destructor closes the bar and keeps any error
        }
    } finish{*watch_data};

    // Without maxiter SLSQP keeps its own default (100 iterations), as before the option.
    auto train = [&](nb::handle start) -> nb::object {
        nb::object minimize = call.global("minimize");
        nb::object loss = self.attr("loss");
        nb::dict options;
        if (!maxiter.is_none()) options["maxiter"] = maxiter;
        nb::dict keywords;
        keywords["x0"] = start;
        keywords["method"] = "SLSQP";
        keywords["tol"] = tol;
        if (!maxiter.is_none()) keywords["options"] = options;
        if (!hook.is_none()) keywords["callback"] = hook;
        return minimize(loss, **keywords).attr("x");
    };
    nb::object best = train(x0);
    if (restarts == 0 || watch_data->stopped) return best;
    // Further starts, drawn as the constructor draws `parameter`, while the best is a miss.
    nb::object np = call.global("np");
    double best_loss = as_double(self.attr("loss")(best));
    for (long long k = 0; k < restarts && !(best_loss <= kTrainedLoss) && !watch_data->stopped;
         ++k) {
        nb::object start =
            nb::float_(0.5) * np.attr("pi") * np.attr("random").attr("random")(length(x0));
        nb::object x = train(start);
        const double value = as_double(self.attr("loss")(x));
        if (value < best_loss || std::isnan(best_loss)) {
            best = x;
            best_loss = value;
        }
    }
    return best;
}

nb::object svd_return_diag(const Call& call) {
    auto [self, par] = call.args<2>();
    nb::object phase = item(self.attr("loss")(par, nb::arg("return_type") = false), 0);
    return absolute(self.attr("normal_value") * phase);
}

nb::object svd_max_eig(const Call& call) {
    auto [self, return_mat, par, max_index] = call.args<4>();
    // Register sizes a state can hold, checked before 2**q0 is formed.
    const std::vector<int> qvec0 = qubit_range(0, index_attr(self, "q0"));
    const std::vector<int> qvec1 = qubit_range(0, index_attr(self, "q1"));
    nb::object q0 = nb::int_(qvec0.size()), q1 = nb::int_(qvec1.size());
    nb::object ss = max_index % power(nb::int_(2), q0);
    nb::object bits = nb::str("{:b}").attr("format")(ss);
    nb::object bi0 = bits.attr("rjust")(q0, "0"), bi1 = bits.attr("rjust")(q1, "0");

    // The register's inverse ansatz on |ss>, qubit j taking bit j of ss.
    auto vector_on = [&](const std::vector<int>& qvec, nb::handle bi, nb::handle start,
                         nb::handle stop) {
        Circuit cir;
        for (size_t j = 0; j < qvec.size(); ++j)
            if (item(bi, -Py_ssize_t(j) - 1).equal(nb::str("1")))
                cir.append(make_gate(GateKind::X, {qvec[j]}));
        nb::object angles = slice_between(par, start, stop);
        append(cir, self.attr("cir")(nb::arg("qlist") = int_list(qvec), nb::arg("para") = angles)
                        .attr("dagger")());
        const kestrix::StateVector state = evolve(cir, int(qvec.size()));
        return numpy_array(real_parts(state), {size_t(state.size())});
    };
    nb::object depth = self.attr("iter_depth");
    if (return_mat.equal(nb::str("0"))) return vector_on(qvec0, bi0, nb::int_(0), q0 * depth);
    if (return_mat.equal(nb::str("1"))) return vector_on(qvec1, bi1, q0 * depth, (q0 + q1) * depth);
    return nb::none();
}

}  // namespace

NORVALIS_MODULE(Trelvo, m) {
    m.import_as("numpy", "np");
    m.import_as("pandas", "pd");
    m.import_from("kestrix.core", {"CPUQVM", "QCircuit", "QProg", "RY", "X"});
    m.import_from("scipy.optimize", {"minimize"});
    m.import_from("kestrix.quantum_info", {"StateVector"});
    m.import_star("plugin", 2);
    m.import_from("kestrix.core", {"Encode"});

    auto svd = m.define_class("SVD", R"DOC(
Variational singular-value decomposition of a real matrix.

The matrix is zero-padded to 2**q0 x 2**q1 and divided by its Frobenius norm
`normal_value`; entry [r, c] becomes the amplitude of row value r on the row
register (qubits 0 .. q0-1) and column value c on the column register (qubits
q0 .. q0+q1-1). A layered RY / controlled-X ansatz acts on each register, and
SLSQP trains its (q0 + q1) * depth angles until the state's weight sits on
the basis states whose row and column values agree: the registers' ansätze
are then the transposed singular-vector bases and the diagonal of the scaled
state holds the singular values.

Use:
    svd = SVD(A, depth=8)
    par = svd.Trelvo_min()
    sigma = np.diag(svd.return_diag(par))       # singular values, unordered
    lead = svd.loss(par, False)[1]             # position of the largest one
    u = svd.max_eig("0", par, lead)            # its left singular vector
    v = svd.max_eig("1", par, lead)            # its right singular vector
max_eig(..., 0) gives the leading vectors only when the largest value lies at
position 0; pass loss(par, False)[1] to be sure. Signs are free.

Choices made here: depth may be any value equal to an integer from 2 to 10
(2.0 included) and is stored as that int; a matrix without rows or columns
and an all-zero matrix are refused with a ValueError. Training is a local
search from random angles: it can stop in a local minimum, leaving an
off-diagonal weight that shows as loss > 0 (see docs/modules/trelvo.md for measured rates).
Each register's ansatz has depth angles per qubit, too few for the rotations
of a general register past three qubits: at depth 10, the largest accepted,
8 x 8 random matrices train with Trelvo_min(maxiter=1000) in 9 of 10 cases
(10 of 10 with restarts=2), 16 x 16 ones in none of 10.
)DOC");

    svd.method("__init__", svd_init,
               {arg("self"), arg("matrix_in", nb::none()).typed("numpy.typing.ArrayLike | None"),
                arg("depth", 8).typed("int"), returns("None")},
               R"DOC(
Stores the matrix (np.array(matrix_in)), the register sizes q0 and q1, the
padded matrix q_matrix, its norm normal_value, iter_depth and random starting
angles `parameter`, 0.5 * pi * np.random.random((q0 + q1) * depth).

Raises:
    TypeError: "please input data with 2 dimension !"
    ValueError: "please input integer number in 2~10 !" for a depth that is
        not equal to one of 2 to 10; a matrix with no rows or no columns.
)DOC");

    svd.method("cir", svd_cir,
               {arg("self"), arg("qlist").typed("collections.abc.Sequence[int]"),
                arg("para").typed("numpy.typing.ArrayLike"), returns("kestrix.core.QCircuit")},
               R"DOC(
The ansatz as a new QCircuit: for each of iter_depth layers, RY(qlist[j],
para[j + len(qlist) * layer]) on every qubit, then X(qlist[j + 1]) controlled
by qlist[j] down the list (no wrap-around). `para` is indexed, not sliced: it
must hold at least len(qlist) * iter_depth angles.
)DOC");

    // Its result's type follows return_type (a float, or a pair), so it has no single one.
    svd.method("loss", svd_loss,
               {arg("self"), arg("ls").typed("numpy.typing.ArrayLike"),
                arg("return_type", true).typed("bool")},
               R"DOC(
The cost SLSQP minimises, from one exact state evolution (no shots, no random
draws): the encoded matrix, the row ansatz with ls[0 : q0 * depth], the column
ansatz with the next q1 * depth angles.

Returns:
    With a true return_type, 1 minus the probability of the basis states whose
    row and column values agree, a float in [0, 1]. Otherwise (phase, index):
    the real parts of the amplitudes as a 2**q1 x 2**q0 array (entry [r, c]:
    column value r, row value c) and the position of the largest magnitude in
    the flattened array, which indexes the leading singular value.
)DOC");

    svd.method("Trelvo_min", svd_Trelvo_min,
               {arg("self"), arg("restarts", 0).typed("int"), arg("tol", 1e-10).typed("float"),
                arg("maxiter", nb::none()).typed("int | None"),
                arg("callback", nb::none())
                    .typed("collections.abc.Callable[[int, numpy.ndarray, float], object] | None"),
                arg("verbose", false).typed("bool"), returns("numpy.ndarray")},
               R"DOC(
Trains the angles from `parameter` with scipy.optimize.minimize(self.loss,
method="SLSQP", tol=1e-10) and returns the result's x, whether or not SLSQP
reports success. `parameter` itself is left as it is. A 1 x 1 matrix has no
angles: its empty vector is returned as a copy, without SLSQP (whose LAPACK
calls refuse an empty problem).

Options (their defaults give the call above):
    restarts: while the trained loss is above 1e-8 (a miss), train again from
        up to `restarts` further starts, 0.5 * pi * np.random.random(len(
        parameter)) each (NumPy's global generator, as the constructor draws),
        and return the angles of the lowest loss.
    tol: SLSQP's tolerance (positive and finite).
    maxiter: SLSQP's iteration cap (None: SciPy's default of 100). An 8 x 8
        matrix at depth 10 needs about 1000 (see docs/modules/trelvo.md).
    callback: callback(iteration, x, loss) after each SLSQP iteration, the
        iterations numbered from 1 across restarts; a true return value
        stops training there and returns that iteration's angles (no further
        restarts).
    verbose: a progress bar over the iterations with the current loss
        (tqdm's when installed, else a line on standard error).

Raises:
    TypeError: restarts or maxiter is not an integer; tol is not a real
        number; callback is not callable.
    ValueError: restarts is negative, maxiter below 1, or tol not positive
        and finite.
)DOC");

    svd.method("return_diag", svd_return_diag,
               {arg("self"), arg("par").typed("numpy.typing.ArrayLike"), returns("numpy.ndarray")},
               R"DOC(
abs(normal_value * loss(par, return_type=False)[0]): a 2**q1 x 2**q0 array of
non-negative values whose diagonal holds the singular-value estimates (in no
particular order) once par is trained.
)DOC");

    svd.method("max_eig", svd_max_eig,
               {arg("self"), arg("return_mat", "0").typed("str"),
                arg("par", nb::none()).typed("numpy.typing.ArrayLike | None"),
                arg("max_index", 0).typed("int"), returns("numpy.ndarray | None")},
               R"DOC(
A singular vector: the inverse ansatz of one register applied to the basis
state of value max_index % 2**q0. return_mat "0" gives a left vector (length
2**q0, row register), "1" a right vector (length 2**q1, column register), any
other value None. The value is reduced modulo 2**q0 for either register. Pass
loss(par, False)[1] as max_index for the vectors of the largest singular value.
)DOC");
    svd.finish();
}
