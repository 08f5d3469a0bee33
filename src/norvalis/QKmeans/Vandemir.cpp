// norvalis.QKmeans.Vandemir: k-means clustering whose point-to-centre distances come from
// swap tests. Each point and centre is encoded into one qubit by its first two coordinates.
//
// A fit runs n*K tiny circuits per iteration. They are built and run here in C++ (no
// Python per circuit) unless a caller has replaced one of the module's steps, in which case
// the replacement is called just as a Python module would call it. Either way each run
// takes one seed from NumPy's global generator, in the same order, so both give identical
// results.
#include <nanobind/ndarray.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;

constexpr uint64_t kShots = 1024;
constexpr int kAncilla = 2;
// An iteration that leaves a cluster empty redraws the centres; this many in a row means
// the data cannot fill K clusters (fewer distinct points than K, say).
constexpr int kMaxRedraws = 100;

// Whether `f` is the SDK's draw_qprog, which returns a string and prints nothing: the
// native function of that name in kestrix.core.
bool is_sdk_draw(nb::handle f) {
    auto is = [](nb::handle x, const char* name, const char* value) {
        return nb::getattr(x, name, nb::none()).equal(nb::str(value));
    };
    return is(f.type(), "__module__", "nanobind") && is(f.type(), "__name__", "nb_func") &&
           is(f, "__module__", "kestrix.core") && is(f, "__name__", "draw_qprog");
}

// Angle encoding of a coordinate: [-1, 1] onto [0, pi], evaluated as ((v + 1) * pi) / 2.
double angle_of(double v) { return ((v + 1) * std::numbers::pi) / 2; }

// The same through the value's own arithmetic, as Python evaluates it: a float32 sample
// gives a float32 angle, a Decimal a TypeError.
nb::object angle_object(nb::handle v) {
    return ((nb::borrow(v) + nb::int_(1)) * nb::float_(std::numbers::pi)) / nb::int_(2);
}

// Whether v's arithmetic is a C++ double's: a float or a NumPy float64.
bool is_double(nb::handle v) {
    static PyObject* float64 =
        nb::object(nb::module_::import_("numpy").attr("float64")).release().ptr();
    return PyFloat_CheckExact(v.ptr()) ||
           Py_TYPE(v.ptr()) == reinterpret_cast<PyTypeObject*>(float64);
}

// The angle of a coordinate as U3 takes it; one that is not real or not finite is refused
// with the SDK's message.
double angle_value(nb::handle v) {
    if (is_double(v)) {
        const double a = angle_of(PyFloat_AS_DOUBLE(v.ptr()));
        if (std::isfinite(a)) return a;
    }
    return to_angle(angle_object(v), "angle");
}

// The swap test of the Bloch states (theta0, phi0) and (theta, phi): its ancilla reads 1
// with probability (1 - |<a|b>|^2) / 2.
Program swap_test(double theta0, double phi0, double theta, double phi) {
    Program p{Circuit(), 3};
    Circuit& c = p.circuit;
    c.append(make_gate(GateKind::H, {kAncilla}));
    c.append(make_gate(GateKind::U3, {0}, {theta0, phi0, 0}));
    c.append(make_gate(GateKind::U3, {1}, {theta, phi, 0}));
    c.append(make_gate(GateKind::SWAP, {0, 1}).controlled({kAncilla}));
    c.append(make_gate(GateKind::H, {kAncilla}));
    c.append(make_measure(kAncilla, kAncilla));
    return p;
}

// Swap tests collected one by one and run together over the engine's threads, a block at
// a time so that memory stays small however many a fit needs. `add` does what a one-by-one
// run does before simulating (the drawing, then the seed drawn from NumPy), so the results
// are those of one-by-one runs. The seeds are drawn here, not by the batch: a replaced
// draw_qprog may itself draw from NumPy between them.
class SwapTests {
  public:
    /// `random_state`: a numpy.random.RandomState whose random_sample() gives each seed
    /// (scaled as the global draw is), or none for NumPy's global generator.
    explicit SwapTests(const Call& call, nb::handle random_state = nb::handle())
        : call_(call),
          block_(kestrix::py::pending_programs_limit()),
          draw_(random_state.is_valid() && !random_state.is_none()
                    ? nb::object(random_state.attr("random_sample"))
                    : nb::object()) {}

    void add(Program program) {
        // The SDK's draw_qprog returns a string and prints nothing: while the module's
        // name refers to it, the discarded drawing is skipped. A replacement is called with
        // the program, and the program runs as the replacement left it.
        nb::object draw = call_.global("draw_qprog");
        if (!is_original("draw_qprog", draw)) {
            nb::object prog = nb::cast(std::move(program));
            draw(prog);
            program = nb::cast<const Program&>(prog);
        }
        seeds_.push_back(draw_.is_valid() ? uint64_t(as_double(draw_()) * 0x1.0p53)
                                          : kestrix::py::seed_from_numpy());
        programs_.push_back(std::move(program));
        if (programs_.size() == block_) run_block();
    }

    /// How many of the 1024 shots of each test read 1 on the ancilla, in the order added.
    const std::vector<uint64_t>& ones() {
        run_block();
        return ones_;
    }

  private:
    void run_block() {
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if (programs_.empty()) return;
        for (const kestrix::Result& r : kestrix::py::run_programs(programs_, kShots, seeds_)) {
            uint64_t ones = 0;
            for (auto [outcome, count] : r.counts())
                if (outcome.bit(0)) ones = count;
            ones_.push_back(ones);
        }
        programs_.clear();
        seeds_.clear();
    }

    const Call& call_;
    // Programs run together: a few thousand (about 5 MB), more under an executor.
    const size_t block_;
    nb::object draw_;  ///< the caller's random_sample, or invalid for NumPy's global draw
    std::vector<Program> programs_;
    std::vector<uint64_t> seeds_;
    std::vector<uint64_t> ones_;
};

double frequency(uint64_t count) { return double(count) / double(kShots); }

// range(k) as Python reads it: any integer-like value, a negative one meaning none.
Py_ssize_t range_length(nb::handle k) {
    nb::object index = as_index(k);
    const Py_ssize_t n = PyLong_AsSsize_t(index.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n < 0 ? 0 : n;
}

// The encoded state of a point or centre: the first coordinate sets the azimuth, the
// second the polar angle.
struct Encoded {
    double azimuth, polar;
};

// The first two coordinates of `lead` (unless it is null) and of the first k centres, read
// in the order the distances list them: every first coordinate, then every second one.
std::array<std::vector<nb::object>, 2> read_coordinates(nb::handle lead, nb::handle centroids,
                                                        Py_ssize_t k) {
    std::array<std::vector<nb::object>, 2> out;
    for (int axis : {0, 1}) {
        if (lead.is_valid()) out[axis].push_back(item(lead, axis));
        for (Py_ssize_t i = 0; i < k; ++i) out[axis].push_back(item(item(centroids, i), axis));
    }
    return out;
}

// Their encoded states, the azimuths mapped before the polar angles.
std::vector<Encoded> encode(const std::array<std::vector<nb::object>, 2>& coordinates) {
    std::vector<Encoded> out(coordinates[0].size());
    for (size_t i = 0; i < out.size(); ++i) out[i].azimuth = angle_value(coordinates[0][i]);
    for (size_t i = 0; i < out.size(); ++i) out[i].polar = angle_value(coordinates[1][i]);
    return out;
}

// Adds the swap tests of one point against each centre.
void add_point_tests(SwapTests& tests, Encoded point, const std::vector<Encoded>& centres) {
    for (const Encoded& c : centres) {
        tests.add(swap_test(point.polar, point.azimuth, c.polar, c.azimuth));
    }
}

// The n x K distances of every sample of `data` to the centres, all tests run together.
nb::object batched_distances(const Call& call, const std::vector<Encoded>& points,
                             nb::handle centers, Py_ssize_t k, nb::handle random_state) {
    const std::vector<Encoded> centres = encode(read_coordinates(nb::handle(), centers, k));
    SwapTests tests(call, random_state);
    for (const Encoded& p : points) add_point_tests(tests, p, centres);
    const std::vector<uint64_t>& ones = tests.ones();
    auto* values = new double[ones.size()];
    for (size_t j = 0; j < ones.size(); ++j) values[j] = frequency(ones[j]);
    nb::capsule owner(values, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    return nb::cast(
        nb::ndarray<nb::numpy, double, nb::ndim<2>>(values, {points.size(), size_t(k)}, owner));
}

// The encoded state of every sample, read once per fit.
std::vector<Encoded> sample_points(nb::handle data) {
    std::vector<Encoded> points;
    for (nb::handle row : data) {
        nb::object x = item(row, 0), y = item(row, 1);
        const double azimuth = angle_value(x);
        points.push_back({azimuth, angle_value(y)});
    }
    return points;
}

// How many points differ; compared bit for bit (0.0 and -0.0 alike).
size_t distinct_count(const std::vector<Encoded>& points) {
    auto bits = [](double v) { return std::bit_cast<uint64_t>(v == 0 ? 0.0 : v); };
    std::set<std::pair<uint64_t, uint64_t>> seen;
    for (const Encoded& p : points) seen.emplace(bits(p.azimuth), bits(p.polar));
    return seen.size();
}

// The Python-level distance step of fit, for a caller who replaced one of the steps:
// np.array(list(map(lambda x: _point_centroid_distances(x, centers, K), data))).
nb::object distances_by_calls(const Call& call, nb::handle data, nb::handle centers, nb::handle k) {
    nb::object step = call.global("_point_centroid_distances");
    nb::list rows;
    for (nb::handle row : data) rows.append(step(row, centers, k));
    return call.global("np").attr("array")(rows);
}

nb::object VandemirCircuit(const Call& call) {
    auto [theta0, phi0, theta, phi] = call.args<4>();
    SwapTests tests(call);
    tests.add(swap_test(to_angle(theta0, "angle"), to_angle(phi0, "angle"),
                        to_angle(theta, "angle"), to_angle(phi, "angle")));
    const uint64_t ones = tests.ones()[0];
    nb::dict probs;
    if (ones < kShots) probs["0"] = frequency(kShots - ones);
    if (ones > 0) probs["1"] = frequency(ones);
    return probs;
}

nb::object point_centroid_distances(const Call& call) {
    auto [point, centroids, k] = call.args<3>();
    const auto coordinates = read_coordinates(point, centroids, range_length(k));

    nb::list out;
    if (call.is_original("_VandemirCircuit")) {
        std::vector<Encoded> centres = encode(coordinates);
        const Encoded p = centres.front();
        centres.erase(centres.begin());
        SwapTests tests(call);
        add_point_tests(tests, p, centres);
        for (uint64_t ones : tests.ones()) {
            if (ones) {
                out.append(frequency(ones));
            } else {
                out.append(0);
            }
        }
        return out;
    }
    // A replacement gets the angles as Python computes them, in their own type.
    std::array<std::vector<nb::object>, 2> angles;
    for (int axis : {0, 1})
        for (const nb::object& v : coordinates[axis]) angles[axis].push_back(angle_object(v));
    const auto& [ax, ay] = angles;
    nb::str one("1");
    for (size_t i = 1; i < ax.size(); ++i) {
        nb::object result = call.global("_VandemirCircuit")(ay[0], ax[0], ay[i], ax[i]);
        if (contains(result, one)) {
            out.append(result[one]);
        } else {
            out.append(0);
        }
    }
    return out;
}

void vandemir_init(const Call& call) {
    auto [self, k, tol] = call.args<3>();
    nb::setattr(self, "K", k);
    nb::setattr(self, "tol", tol);
}

// How a fit runs beyond what fit itself does: where its random numbers come from, when it
// stops early, whom it tells. fit is the default: NumPy's global generator, no cap, the
// documented printed line on a redraw.
struct FitControl {
    nb::object random_state;  ///< a numpy.random.RandomState, or None for np.random
    std::optional<long long> max_iter;
    nb::object callback;  ///< None, or callback(iteration, centres, shift)
    nb::object verbose = nb::bool_(false);
    bool warn_on_redraw = false;  ///< a NorvalisWarning instead of the printed line
    const char* description = "QKMeans iterations";  ///< the progress bar's label
};

struct FitOutcome {
    nb::object centres, clusters;
    long long iterations = 0;
    bool converged = false;
};

// One distance step: the batched swap tests while the module's steps are its own, else the
// Python-level map through the replaced ones (which draw from NumPy's global generator).
nb::object distance_step(const Call& call, nb::handle data, nb::handle centers, nb::handle K,
                         std::optional<std::vector<Encoded>>& points, nb::handle random_state) {
    if (call.is_original("_point_centroid_distances") && call.is_original("_VandemirCircuit")) {
        if (!points) points = sample_points(data);
        return batched_distances(call, *points, centers, range_length(K), random_state);
    }
    return distances_by_calls(call, data, centers, K);
}

// Refuses NaN and infinities in numeric data, naming the first: the means and spreads of
// the initial centres would be NaN, and so would the centres returned.
void check_finite_data(nb::handle np, nb::handle data) {
    if (!nb::hasattr(data, "dtype")) return;
    const nb::str kind_text(data.attr("dtype").attr("kind"));
    const std::string_view kind = kind_text.c_str();
    if (kind.find_first_of("fc") == std::string_view::npos) return;
    nb::object bad = np.attr("logical_not")(np.attr("isfinite")(data));
    if (!truthy(bad.attr("any")())) return;
    nb::object where = item(np.attr("argwhere")(bad), 0);
    nb::object value = data[as_tuple(where)];
    raise(PyExc_ValueError,
          "data must be finite: %S at row %S, column %S (drop or fill the missing values first)",
          value.ptr(), item(where, 0).ptr(), item(where, nb::len(where) > 1 ? 1 : 0).ptr());
}

// Lloyd's loop of fit, under `control`.
FitOutcome fit_loop(const Call& call, nb::handle self, nb::handle data, const FitControl& control) {
    nb::object np = call.global("np"), deepcopy = call.global("deepcopy");
    nb::object norm = np.attr("linalg").attr("norm");
    nb::object shape = data.attr("shape");
    nb::object n = item(shape, 0), c = item(shape, 1);
    check_finite_data(np, data);
    nb::object mean = np.attr("mean")(data, nb::arg("axis") = 0);
    nb::object std = np.attr("std")(data, nb::arg("axis") = 0);
    auto random_centres = [&]() {
        nb::object random =
            control.random_state.is_none() ? nb::object(np.attr("random")) : control.random_state;
        return random.attr("randn")(self.attr("K"), c) * std + mean;
    };

    nb::object centers = random_centres();
    nb::object centers_old = np.attr("zeros")(centers.attr("shape"));
    nb::object centers_new = deepcopy(centers);
    nb::object error = norm(centers_new - centers_old);
    nb::object upper_error = error + nb::int_(1);
    nb::object clusters = nb::none();
    std::optional<std::vector<Encoded>> points;  // read at first use
    int redraws = 0;
    FitOutcome out;
    Progress progress(
        control.verbose, control.description,
        control.max_iter ? std::optional<Py_ssize_t>(*control.max_iter) : std::nullopt);
    // Whether the caller's cap or callback ends the loop after this iteration.
    auto stopped = [&](nb::handle shift) {
        ++out.iterations;
        if (progress.shown()) {
            progress.advance(1, shift.is_none()
                                    ? std::string("centres drawn again")
                                    : std::string("shift ").append(nb::str(shift).c_str()));
        }
        bool stop = control.max_iter && out.iterations >= *control.max_iter;
        if (!control.callback.is_none() &&
            truthy(control.callback(out.iterations, centers_new, shift)))
            stop = true;
        return stop;
    };
    // NaN compares false with everything: the loop would never run, and the random centres would
    // come back as a result. (RichCompareBool would take an object as equal to itself.)
    nb::object tol = self.attr("tol");
    if (truthy(rich_compare(tol, tol, Py_NE)))
        raise(PyExc_ValueError, "tol must be a number, got %R", tol.ptr());
    out.converged = true;
    while (rich_compare_bool(absolute(error - upper_error), self.attr("tol"), Py_GT)) {
        // No movement is below a negative tolerance: the loop could never end.
        nb::object tol = self.attr("tol");
        if (rich_compare_bool(tol, nb::int_(0), Py_LT))
            raise(PyExc_ValueError, "tol must not be negative, got %R", tol.ptr());
        centers = centers_new;
        nb::object K = self.attr("K");
        nb::object distances = distance_step(call, data, centers, K, points, control.random_state);
        clusters = np.attr("argmin")(distances, nb::arg("axis") = 1);

        nb::object filled = nb::steal(PySet_New(clusters.ptr()));
        if (!filled.is_valid()) throw nb::python_error();
        if (rich_compare_bool(nb::int_(nb::len(filled)), self.attr("K"), Py_NE)) {
            if (redraws == kMaxRedraws) {
                if (!points) points = sample_points(data);
                raise(PyExc_ValueError,
                      "cannot fill %S clusters from these data: %S samples, "
                      "%zu distinct",
                      self.attr("K").ptr(), n.ptr(), distinct_count(*points));
            }
            ++redraws;
            if (control.warn_on_redraw) {
                warn("an iteration left a cluster empty: the centres are drawn again");
            } else {
                call.global("print")("CALCULATE ERROR!RECALCULATE!");
            }
            centers_new = random_centres();
            if (stopped(nb::none())) {
                out.converged = false;
                break;
            }
            continue;
        }
        redraws = 0;
        centers_old = deepcopy(centers_new);
        const Py_ssize_t k = range_length(self.attr("K"));
        for (Py_ssize_t i = 0; i < k; ++i) {
            nb::object members = data[rich_compare(clusters, nb::int_(i), Py_EQ)];
            centers_new[nb::int_(i)] = np.attr("mean")(members, nb::arg("axis") = 0);
        }
        upper_error = deepcopy(error);
        error = norm(centers_new - centers_old);
        if (rich_compare_bool(error, self.attr("tol"), Py_LT)) {
            stopped(error);
            break;
        }
        if (stopped(error)) {
            // A cap or callback that ends the loop just as it settles still counts as settled.
            out.converged =
                !rich_compare_bool(absolute(error - upper_error), self.attr("tol"), Py_GT);
            break;
        }
    }
    progress.close();
    out.centres = centers_new;
    out.clusters = clusters;
    return out;
}

// The cap and callback as fit and _fit_controlled take them, checked before any work.
void set_stops(FitControl& control, nb::handle max_iter, nb::handle callback) {
    if (!max_iter.is_none()) {
        const long long cap = as_long(as_index(max_iter));
        if (cap < 1) raise(PyExc_ValueError, "max_iter must be at least 1, got %lld", cap);
        control.max_iter = cap;
    }
    if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
        raise(PyExc_TypeError, "callback must be callable or None, got %.200s",
              Py_TYPE(callback.ptr())->tp_name);
    control.callback = nb::borrow(callback);
}

nb::object vandemir_fit(const Call& call) {
    auto [self, data, max_iter, callback, verbose] = call.args<5>();
    FitControl control{nb::none(), std::nullopt, nb::none(), nb::borrow(verbose)};
    control.description = "Vandemir.fit iterations";
    set_stops(control, max_iter, callback);
    const FitOutcome out = fit_loop(call, self, data, control);
    return nb::make_tuple(out.centres, out.clusters);
}

nb::object vandemir_fit_controlled(const Call& call) {
    auto [self, data, random_state, max_iter, callback, verbose] = call.args<6>();
    FitControl control{nb::borrow(random_state), std::nullopt, nb::none(), nb::borrow(verbose),
                       true};
    if (!random_state.is_none() &&
        !(nb::hasattr(random_state, "randn") && nb::hasattr(random_state, "random_sample"))) {
        raise(PyExc_TypeError,
              "random_state must be None or a numpy.random.RandomState, got %.200s",
              Py_TYPE(random_state.ptr())->tp_name);
    }
    set_stops(control, max_iter, callback);
    const FitOutcome out = fit_loop(call, self, data, control);
    return nb::make_tuple(out.centres, out.clusters, out.iterations, nb::bool_(out.converged));
}

nb::object sample_distances(const Call& call) {
    auto [data, centers, random_state] = call.args<3>();
    nb::object np = call.global("np");
    check_finite_data(np, data);
    std::optional<std::vector<Encoded>> points;
    return distance_step(call, data, centers, nb::int_(nb::len(centers)), points, random_state);
}

}  // namespace

NORVALIS_MODULE(Vandemir, m) {
    m.import_as("numpy", "np");
    m.import_from("copy", {"deepcopy"});
    m.import_from("numpy", {"pi"});
    m.import_from("kestrix.core",
                  {"CPUQVM", "QCircuit", "QProg", "SWAP", "U3", "H", "measure", "draw_qprog"});
    nb::object draw = m.globals()["draw_qprog"];
    // draw_qprog counts as the original only if it is the SDK's own (a caller may have
    // replaced kestrix.core.draw_qprog before this module loaded).
    m.remember("draw_qprog", is_sdk_draw(draw) ? draw : nb::none());

    m.def("_VandemirCircuit", VandemirCircuit,
          {arg("theta0"), arg("phi0"), arg("theta"), arg("phi")}, R"DOC(
The swap test of the one-qubit states U3(theta0, phi0, 0)|0> and
U3(theta, phi, 0)|0>, run for 1024 shots on a fresh simulator, seeded from
NumPy's global generator.

Qubit 0 holds the first state, qubit 1 the second, qubit 2 is the ancilla:
H, the two preparations, a SWAP of qubits 0 and 1 controlled by the ancilla,
H, and a measurement of the ancilla into classical bit 2. Before the run the
program is passed to the module's `draw_qprog`, looked up at each call. The
SDK's draw_qprog only returns a string, which is discarded, so while the
module's name still refers to it the drawing is skipped. Replace the
module's draw_qprog (sys.modules["norvalis.QKmeans.Vandemir"].draw_qprog,
since the package's `Vandemir` is the class) with a function that prints,
say, and it is called with every program, which then runs as that function
left it.

Returns:
    dict: the shot frequencies of the ancilla, {"0": p0, "1": p1}, an
    outcome that never occurred omitted. p1 estimates
    (1 - |<a|b>|^2) / 2, the distance: 0 for equal states, 1/2 for
    orthogonal ones.
)DOC");

    m.def("_point_centroid_distances", point_centroid_distances,
          {arg("point"), arg("centroids"), arg("k")}, R"DOC(
The swap-test distances of `point` to the first `k` rows of `centroids`.

Only the first two coordinates enter: each value v is mapped to the angle
((v + 1) * pi) / 2, so [-1, 1] covers [0, pi], in v's own arithmetic (a
float32 coordinate gives a float32 angle); the second coordinate sets the
polar angle and the first the azimuth of the one-qubit state. Entry i
is the frequency with which the ancilla of `_VandemirCircuit` (looked up at
each call) read 1 against centre i, or the integer 0 when it never did.

Returns:
    list: k distances.
)DOC");

    auto vandemir = m.define_class("Vandemir", R"DOC(
Lloyd-style k-means whose point-to-centre distances are swap tests.

Each sample and centre is encoded into one qubit by its first two features
(scale them into [-1, 1] first: v maps to the angle ((v + 1) * pi) / 2, the
second feature giving the polar angle and the first the azimuth); the
distance is the frequency with which the swap test's ancilla reads 1 in 1024
shots, (1 - |<a|b>|^2) / 2 up to shot noise. Features beyond the second
enter only the centre means.

Limits: samples whose encoded states coincide are equal to the clustering,
and near the poles (second feature close to -1 or 1) the first feature
barely moves the state. Two blobs of 100 points centred at (-0.5, 0.95) and
(0.5, 0.95), spread 0.05, score an adjusted Rand index of 0.05 against
their labels on average over 10 seeds (0.12 at best) where scikit-learn's
KMeans scores 1.00; at second feature 0.9 the mean is 0.76, at 0.8 it is
0.99, and on the equator (0.0) every fit scores 1.00. Data that fill only
part of the range lose separation: 1,000-point make_blobs sets (3 centres,
seeds 0 to 19) scaled to [-0.5, 0.5] score 0.82 on average as given and
0.92 after norvalis.sklearn.EncodingRangeScaler("QKMeans") (KMeans: 0.93).
)DOC");

    vandemir.method(
        "__init__", vandemir_init,
        {arg("self"), arg("k", 2).typed("int"), arg("tol", 0.01).typed("float"), returns("None")},
        "Stores the number of clusters as K and the tolerance as tol, unchecked.");

    vandemir.method(
        "fit", vandemir_fit,
        {arg("self"), arg("data").typed("numpy.ndarray"),
         arg("max_iter", nb::none()).typed("int | None"),
         arg("callback", nb::none())
             .typed("collections.abc.Callable[[int, numpy.ndarray, float | None], object] | None"),
         arg("verbose", false).typed("bool"),
         returns("tuple[numpy.ndarray, numpy.ndarray | None]")},
        R"DOC(
Clusters the rows of `data` (an n x c ndarray, c >= 2) into self.K clusters.

The initial centres are np.random.randn(K, c) * std + mean, per feature.
Each iteration measures every sample against every centre (n*K swap tests,
each seeded from NumPy's global generator, so np.random.seed makes a fit
repeatable), assigns each sample to its nearest centre (the lowest index on
a tie) and moves each centre to the mean of its samples, all features.

Convergence: the loop runs while the last two centre movements (Frobenius
norms) differ by more than self.tol, and stops early once a movement is
below self.tol. The first test compares the initial norm with itself plus
one, so with tol >= 1 the loop never runs and the result is
(the initial random centres, None). A negative tol, which no movement can
go below, a NaN tol, and data holding NaN or infinities (checked before
anything is drawn) raise ValueError; with tol = 0 the
loop ends only when two successive movements are exactly equal, which shot
noise may put off indefinitely.

An iteration that leaves a cluster empty prints
"CALCULATE ERROR!RECALCULATE!" and redraws the centres at random. After 100
such redraws in a row the data are taken to be unable to fill K clusters and
ValueError("cannot fill <K> clusters from these data: <n> samples, <d>
distinct") is raised, d counting distinct samples in the two encoded
features (fewer samples than K, or all of them equal, would otherwise
retry for ever).

Options (their defaults give the loop above):
    max_iter: at most this many iterations (distance steps, redraws
        included), or None for no cap.
    callback: callback(iteration, centres, shift) after each iteration
        (iteration counts from 1; shift is the centres' movement, or None
        after a redraw); a true return value stops the loop there.
    verbose: a progress bar over the iterations (tqdm's when installed,
        else a line on standard error).
A loop stopped by max_iter or the callback returns the centres and
clusters of its last iteration.

Returns:
    tuple: (centres, clusters): a (K, c) float array and the cluster index
    of every sample, or None for clusters when the loop never ran.
)DOC");

    vandemir.method(
        "_fit_controlled", vandemir_fit_controlled,
        {arg("self"), arg("data").typed("numpy.ndarray"),
         arg("random_state", nb::none()).typed("numpy.random.RandomState | None"),
         arg("max_iter", nb::none()).typed("int | None"),
         arg("callback", nb::none())
             .typed("collections.abc.Callable[[int, numpy.ndarray, float | None], object] | None"),
         arg("verbose", false).typed("bool"),
         returns("tuple[numpy.ndarray, numpy.ndarray | None, int, bool]")},
        R"DOC(
fit(data) under the caller's control, as norvalis.sklearn.QKMeans runs it:
the same loop, steps and checks, with

- random_state: a numpy.random.RandomState that draws the initial centres
  (its randn) and every swap test's seed (one random_sample() each, scaled
  as the global draw is); None draws both from NumPy's global generator,
  exactly as fit does;
- max_iter: at most this many iterations (distance steps, redraws
  included), or None for no cap;
- callback(iteration, centres, shift) after each iteration, shift being the
  centres' movement, or None after a redraw; a true return value stops the
  loop there;
- verbose: a progress bar over the iterations (tqdm's, else a line on
  standard error);
- a redraw issues norvalis.NorvalisWarning instead of printing.

Returns:
    tuple: (centres, clusters, iterations, converged): fit's pair, the
    number of iterations run, and whether the loop ended on the tolerance
    rather than on max_iter or the callback.
)DOC");

    vandemir.static_method(
        "_distances", sample_distances,
        {arg("data").typed("numpy.ndarray"), arg("centers").typed("numpy.ndarray"),
         arg("random_state", nb::none()).typed("numpy.random.RandomState | None"),
         returns("numpy.ndarray")},
        R"DOC(
The swap-test distances of every row of `data` to every row of `centers`,
an (n, K) array: one distance step of fit, through the module's steps as
fit calls them, with the seeds from `random_state` as _fit_controlled draws
them (None: NumPy's global generator). NaN or infinite data raise ValueError.
)DOC");
    vandemir.finish();
}
