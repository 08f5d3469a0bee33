// norvalis.QAOA.jorrant: a two-measurement simultaneous-perturbation stochastic-approximation
// minimiser with box bounds.
//
// The arithmetic stays in NumPy, as the caller's objective sees it: points are NumPy arrays,
// the objective's results take part in array arithmetic as they are, and the perturbations
// come from NumPy's global generator, one draw of d signs per iteration.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;

// func(x, *args).
nb::object call_with(nb::handle func, nb::handle x, nb::handle args) {
    nb::object all = nb::steal(PySequence_Concat(nb::make_tuple(x).ptr(), args.ptr()));
    if (!all.is_valid()) throw nb::python_error();
    nb::object result = nb::steal(PyObject_Call(func.ptr(), all.ptr(), nullptr));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

nb::object option(nb::handle options, const char* name, nb::object fallback) {
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(options.ptr(), name, &value) < 0) throw nb::python_error();
    return value ? nb::steal(value) : fallback;
}

// The options jorrant_minimize reads. Any other key is ignored, and most likely misspelt.
constexpr const char* kKnownOptions[] = {"a",           "c",           "alpha",     "gamma",
                                         "A",           "maxiter",     "calibrate", "blocking",
                                         "return_best", "second_order"};

void warn_unknown_options(nb::handle options) {
    std::string unknown;
    for (auto [key, value] : nb::borrow<nb::dict>(options)) {
        const bool known = std::any_of(std::begin(kKnownOptions), std::end(kKnownOptions),
                                       [&](const char* name) { return key.equal(nb::str(name)); });
        if (known) continue;
        if (!unknown.empty()) unknown += ", ";
        unknown += nb::repr(key).c_str();
    }
    if (!unknown.empty()) warn("Unknown solver options: %s (they are ignored)", unknown.c_str());
}

// An objective must give one number: an array would be minimised component by component,
// which means nothing. Plain numbers pass at once; a one-element array passes too.
void check_scalar(nb::handle np, nb::handle value) {
    if (PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) return;
    if (as_long(np.attr("size")(value)) != 1) {
        raise(PyExc_ValueError, "func must return a scalar, got a value of shape %S",
              np.attr("shape")(value).ptr());
    }
}

// maxiter as given, once it is known to count iterations: a number that is not a whole
// one (infinity, NaN, 2.5) is refused, since the run would never stop or stop at a
// fraction. Integers, None and whole floats (1e3) pass; a negative one runs one iteration,
// as 0 does.
nb::object iteration_cap(nb::object maxiter) {
    if (maxiter.is_none() || PyIndex_Check(maxiter.ptr()) || !PyNumber_Check(maxiter.ptr()))
        return maxiter;
    const double value = PyFloat_AsDouble(maxiter.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // not a real number: the comparison with the step says so
        return maxiter;
    }
    if (!std::isfinite(value) || value != std::floor(value))
        raise(PyExc_ValueError, "maxiter must be a whole number of iterations or None, got %R",
              maxiter.ptr());
    return maxiter;
}

// rise / diff, with 0 where the two evaluated points coincide (a variable pinned by equal
// bounds, or a step lost to rounding): such a component says nothing about the slope, and
// dividing would put NaN into the iterate.
nb::object slope(nb::handle np, nb::handle rise, nb::handle diff) {
    // diff.all() is the cheap test on an array: every component apart.
    const bool apart = nb::isinstance(diff, np.attr("ndarray")) ? truthy(diff.attr("all")())
                                                                : truthy(np.attr("all")(diff));
    if (apart) return rise / diff;
    nb::object flat = rich_compare(diff, nb::int_(0), Py_EQ);
    nb::object divisor = np.attr("where")(flat, 1, diff);
    return np.attr("where")(flat, 0.0, rise / divisor);
}

// Evaluations drawn at x0 before the iterations: calibrate's gradient samples (each a pair)
// and blocking's repeated values that measure the objective's noise.
constexpr int kStartSamples = 25;

// A switch among the options: True or False (NumPy's bool too), a TypeError otherwise.
bool switch_option(nb::handle np, nb::handle options, const char* name) {
    nb::object value = option(options, name, nb::bool_(false));
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
    if (nb::isinstance(value, np.attr("bool_"))) return truthy(value);
    raise(PyExc_TypeError, "%s must be True or False, got %.200s", name,
          Py_TYPE(value.ptr())->tp_name);
}

// An objective value as a double, where blocking or return_best compares it (or, with
// `purpose` given, where another switch computes with it).
double real_value(nb::handle value,
                  const char* purpose = "blocking and return_best compare the objective's values") {
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) {
        // An int beyond a double keeps its OverflowError; what is no number gets ours.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        raise(PyExc_TypeError, "%s: func must return a real number, got %.200s", purpose,
              Py_TYPE(value.ptr())->tp_name);
    }
    return result;
}

// An objective value as a double for the divergence check, read only from plain numbers
// (Python's or NumPy's), so that the default run calls no conversion of the caller's.
std::optional<double> plain_value(nb::handle np, nb::handle value) {
    const bool plain = PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
                       nb::isinstance(value, np.attr("floating")) ||
                       nb::isinstance(value, np.attr("integer"));
    if (!plain) return std::nullopt;
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // an int beyond a double: no verdict
        return std::nullopt;
    }
    return result;
}

std::optional<double> pair_mean(nb::handle np, nb::handle first, nb::handle second) {
    auto one = plain_value(np, first), two = plain_value(np, second);
    if (!one || !two) return std::nullopt;
    return (*one + *two) / 2;
}

// The objective's estimate at the end far above the one at the start (NaN included): the
// gains were too large for it, and the caller should hear so rather than trust the point.
void warn_if_diverged(std::optional<double> first, std::optional<double> last) {
    if (!first || !last || !std::isfinite(*first)) return;
    if (*last <= 1e3 * std::fabs(*first) + 1.0) return;
    char text[320];
    std::snprintf(text, sizeof text,
                  "jorrant_minimize diverged: the objective rose from about %.3g at the start "
                  "to %.3g at the end (means of the first and the last pair of evaluations); "
                  "a smaller a, calibrate=True or blocking=True keeps the steps in hand",
                  *first, *last);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) throw nb::python_error();
}

// The lowest objective value among the evaluated points, and its point. NaN never wins
// against a number.
struct Best {
    nb::object point, value;
    double level = 0.0;

    void offer(nb::handle at, nb::handle result) {
        const double v = real_value(result);
        if (point.is_valid() && !(v < level || (std::isnan(level) && !std::isnan(v)))) return;
        point = nb::borrow(at);
        value = nb::borrow(result);
        level = v;
    }
};

// The smoothed Hessian of second-order steps (Spall's 2SPSA). Each iteration gives a noisy
// estimate from the change of two one-sided gradients; their running mean, weighted at
// least kHessianWeight for the newest so that it follows a Hessian that changes along the
// path, preconditions the gradient.
constexpr double kHessianWeight = 0.01;
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// Eigenvalues are taken by magnitude and raised by this share of the largest, so that the
// preconditioner stays positive definite with a condition number of at most 1e4.
constexpr double kHessianFloor = 1e-4;
// Curvature is only seen above the rounding of the objective's values: an estimate is
// trusted where its largest eigenvalue exceeds this many times that rounding level.
constexpr double kResolved = 100.0;

struct Curvature {
    nb::object mean;
    long long updates = 0;
    double rounding = 0.0;  // the running mean of the estimates' rounding level

    // change: the difference of the gradients at x + ck delta and x - ck delta, which stand
    // `apart` from each other; `level`, the rounding of one estimate: 2 eps |f| / ck^2
    // (values rounded to eps |f|, differenced over ck, then once more over 2 ck).
    void offer(nb::handle np, nb::handle change, nb::handle apart, double level) {
        nb::object column = np.attr("reshape")(change, nb::make_tuple(-1, 1));
        nb::object row = np.attr("reshape")(apart, nb::make_tuple(1, -1));
        nb::object estimate = slope(np, column, row);
        estimate = (estimate + estimate.attr("T")) * nb::float_(0.5);
        if (as_long(estimate.attr("size")) == 0) return;  // no variables: no curvature
        // A value that is not finite says nothing about the curvature: the mean keeps its own.
        if (!truthy(np.attr("all")(np.attr("isfinite")(estimate)))) return;
        ++updates;
        const double weight = std::max(1.0 / static_cast<double>(updates), kHessianWeight);
        mean = updates == 1 ? estimate
                            : mean * nb::float_(1.0 - weight) + estimate * nb::float_(weight);
        rounding = updates == 1 ? level : (1.0 - weight) * rounding + weight * level;
    }

    // The gradient divided by the smoothed Hessian, or the gradient itself while no
    // curvature has been seen above the rounding (a plane's estimates are rounding alone,
    // and dividing by them would throw the step out by 1e15).
    nb::object precondition(nb::handle np, nb::handle grad) const {
        if (updates == 0) return nb::borrow(grad);
        nb::object pair = np.attr("linalg").attr("eigh")(mean);
        nb::object scale = np.attr("abs")(pair[0]);
        const double top = as_double(np.attr("max")(scale));
        if (!(top > kResolved * rounding) || !(top > 0.0) || !std::isfinite(top))
            return nb::borrow(grad);
        nb::object vectors = pair[1];
        // The Hessian is over the variables in order: a point of another shape is read flat.
        nb::object along = np.attr("dot")(vectors.attr("T"), np.attr("ravel")(grad));
        const double floor = std::max(kHessianFloor * top, kResolved * rounding);
        nb::object step = np.attr("dot")(vectors, along / (scale + nb::float_(floor)));
        return np.attr("reshape")(step, np.attr("shape")(grad));
    }
};

nb::object jorrant_minimize(const Call& call) {
    auto [func, x0, args_in, tol, bounds_in, callback, options] = call.args<7>();
    nb::object np = call.global("np");
    nb::object args = as_tuple(args_in);
    nb::object a = option(options, "a", nb::float_(1.0));
    nb::object c = option(options, "c", nb::float_(1.0));
    nb::object alpha = option(options, "alpha", nb::float_(0.602));
    nb::object gamma = option(options, "gamma", nb::float_(0.101));
    nb::object big_a = option(options, "A", nb::int_(10));
    nb::object maxiter = iteration_cap(option(options, "maxiter", nb::int_(100)));

    for (nb::handle p : {a, c, big_a, alpha, gamma}) {
        // "not p >= 1e-8" rather than "p < 1e-8", so that NaN is refused too.
        if (!(p >= nb::float_(1e-8)))
            raise(PyExc_ValueError, "Parameter is too small or is less than 0: %S", p.ptr());
    }
    warn_unknown_options(options);
    const bool calibrate = switch_option(np, options, "calibrate");
    const bool blocking = switch_option(np, options, "blocking");
    const bool return_best = switch_option(np, options, "return_best");
    const bool second_order = switch_option(np, options, "second_order");
    const Py_ssize_t d = length(x0);
    nb::object bounds = nb::borrow(bounds_in);
    if (!bounds.is_none()) bounds = call.global("_check_bounds")(d, bounds);
    nb::object x = call.global("_jail_inside")(x0, bounds);
    nb::object dimension = nb::int_(d);
    nb::list signs;
    signs.append(-1);
    signs.append(1);

    Best best;
    auto evaluate = [&](nb::handle point) {
        nb::object value = call_with(func, point, args);
        check_scalar(np, value);
        if (return_best) best.offer(point, value);
        return value;
    };
    auto perturbation = [&] {
        return np.attr("random").attr("choice")(signs, nb::arg("size") = dimension);
    };

    if (calibrate) {
        // Spall's rule: a such that the first step, a / (1 + A) ** alpha times the mean
        // |gradient estimate| at x0, moves each variable by about c, the first perturbation.
        double magnitude = 0.0;
        for (int sample = 0; sample < kStartSamples; ++sample) {
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
            nb::object delta = perturbation();
            nb::object xp = call.global("_jail_inside")(x + c * delta, bounds);
            nb::object xm = call.global("_jail_inside")(x - c * delta, bounds);
            nb::object f_plus = evaluate(xp);
            nb::object grad = slope(np, f_plus - evaluate(xm), xp - xm);
            magnitude += as_double(np.attr("mean")(np.attr("abs")(grad)));
        }
        magnitude /= kStartSamples;
        // No slope seen (a flat start, or values that are not finite): a stays as given.
        if (std::isfinite(magnitude) && magnitude > 0.0)
            a = c * power(nb::int_(1) + big_a, alpha) / nb::float_(magnitude);
    }

    double current = 0.0, tolerance = 0.0;
    if (blocking) {
        // The noise at x0 sets how much a step may raise the objective and still stand:
        // twice the standard deviation of repeated values (0 for a deterministic one).
        x = np.attr("array")(x, nb::arg("dtype") = np.attr("float64"));
        std::vector<double> finite;
        double first = 0.0;
        for (int sample = 0; sample < kStartSamples; ++sample) {
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
            const double v = real_value(evaluate(x));
            if (sample == 0) first = v;
            if (std::isfinite(v)) finite.push_back(v);
        }
        current = first;
        if (!finite.empty()) {
            double sum = 0.0;
            for (double v : finite) sum += v;
            current = sum / static_cast<double>(finite.size());
        }
        if (finite.size() > 1) {
            double squares = 0.0;
            for (double v : finite) squares += (v - current) * (v - current);
            tolerance = 2.0 * std::sqrt(squares / static_cast<double>(finite.size() - 1));
        }
    }

    std::optional<double> first_pair;
    nb::object f_plus, f_minus;
    Curvature curvature;
    for (long long k = 1;; ++k) {
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        nb::object step = nb::int_(k);
        nb::object ak = a / power(step + big_a, alpha);
        nb::object ck = c / power(step, gamma);
        nb::object delta = perturbation();
        nb::object xp = call.global("_jail_inside")(x + ck * delta, bounds);
        nb::object xm = call.global("_jail_inside")(x - ck * delta, bounds);
        f_plus = evaluate(xp);  // first, as callers see it
        f_minus = evaluate(xm);
        if (k == 1 && !return_best) first_pair = pair_mean(np, f_plus, f_minus);
        const char* purpose = "second_order estimates the curvature from the objective's values";
        // Checked before any arithmetic, so that a value that is no number is named as such.
        const double plus = second_order ? real_value(f_plus, purpose) : 0.0;
        const double minus = second_order ? real_value(f_minus, purpose) : 0.0;
        nb::object grad = slope(np, f_plus - f_minus, xp - xm);
        nb::object direction = grad;
        if (second_order) {
            // Both perturbed points moved once more by ck along a second sign vector: the
            // one-sided gradients there differ by about the Hessian times (xp - xm).
            nb::object shift = ck * perturbation();
            nb::object xpp = call.global("_jail_inside")(xp + shift, bounds);
            nb::object xmp = call.global("_jail_inside")(xm + shift, bounds);
            const double plus_moved = real_value(evaluate(xpp), purpose);
            const double minus_moved = real_value(evaluate(xmp), purpose);
            nb::object change = slope(np, nb::float_(plus_moved - plus), xpp - xp) -
                                slope(np, nb::float_(minus_moved - minus), xmp - xm);
            const double spread = std::max(
                {std::fabs(plus), std::fabs(minus), std::fabs(plus_moved), std::fabs(minus_moved)});
            const double step_size = as_double(ck);
            curvature.offer(np, change, xp - xm, 2.0 * kEpsilon * spread / (step_size * step_size));
            direction = curvature.precondition(np, grad);
        }
        nb::object next = call.global("_jail_inside")(x - ak * direction, bounds);
        if (blocking) {
            const double v = real_value(evaluate(next));
            // A step that raises the objective beyond the noise is refused; NaN never stands
            // unless the current value is NaN itself.
            if (v <= current + tolerance || (std::isnan(current) && !std::isnan(v))) {
                x = next;
                current = v;
            }
        } else {
            x = next;
        }
        if (!callback.is_none()) callback(x);
        // With tol, maxiter=None lifts the cap; without tol it is the stop test.
        if ((tol.is_none() || !maxiter.is_none()) && step >= maxiter) break;
        if (!tol.is_none() && np.attr("linalg").attr("norm")(grad) / dimension < tol) break;
    }
    if (return_best) return nb::make_tuple(np.attr("array")(best.point), best.value);
    warn_if_diverged(first_pair, pair_mean(np, f_plus, f_minus));
    return x;
}

nb::object check_bounds(const Call& call) {
    auto [d, bounds] = call.args<2>();
    nb::object np = call.global("np");
    nb::object bn = np.attr("array")(bounds);
    const Py_ssize_t count = length(bn);
    if (count == 0) {
        call.global("print")("Warning: empty bounds are treated as no bounds.");
        return nb::none();
    }
    nb::object lower = np.attr("array")(column(bn, 0));
    nb::object upper = np.attr("array")(column(bn, 1));
    if (truthy(rich_compare(lower, upper, Py_GT).attr("any")()))
        raise(PyExc_ValueError, "One of the lower bounds is greater than an upper bound.");
    if (count > 1 && !d.equal(nb::int_(count)))
        raise(PyExc_IndexError,
              "Dimension of ``bounds`` does not match the dimension of variable ``x``.");
    if (count == 1) return np.attr("repeat")(bn, d, nb::arg("axis") = 0);
    return bn;
}

nb::object jail_inside(const Call& call) {
    auto [x, bounds] = call.args<2>();
    if (bounds.is_none()) return nb::borrow(x);
    return call.global("np").attr("clip")(x, column(bounds, 0), column(bounds, 1));
}

}  // namespace

NORVALIS_MODULE(jorrant, m) {
    m.import_as("numpy", "np");

    m.def("jorrant_minimize", jorrant_minimize,
          {arg("func").typed("collections.abc.Callable[..., typing.Any]"),
           arg("x0").typed("numpy.typing.ArrayLike"),
           arg("args", nb::tuple()).typed("tuple[typing.Any, ...]"),
           arg("tol", nb::none()).typed("float | None"),
           arg("bounds", nb::none()).typed("numpy.typing.ArrayLike | None"),
           arg("callback", nb::none())
               .typed("collections.abc.Callable[[numpy.ndarray], object] | None"),
           var_keyword("options").typed("typing.Any")},
          R"DOC(
Minimises a noisy real function by simultaneous-perturbation stochastic
approximation and returns the final point, a NumPy array of shape (n,)
(return_best=True returns the best point seen and its value instead).

Iteration k = 1, 2, ... draws d signs delta with np.random.choice([-1, 1],
size=d), evaluates func(x + ck delta, *args) and func(x - ck delta, *args)
(both points clipped into the bounds), estimates the gradient as the
difference of the two values over the difference of the two points, steps
x = clip(x - ak grad), and calls callback(x). The gains are
ak = a / (k + A) ** alpha and ck = c / k ** gamma. Without tol it stops after
maxiter iterations (at least one), so it makes 2 maxiter calls of func and
never evaluates func at x itself (blocking and second_order, below, add
calls).

Args:
    func: called as func(x, *args); its result is used in arithmetic only,
        and must be one number (ValueError for an array of several).
    x0: the starting point, n reals; it is never modified.
    args: extra positional arguments of func (any sequence, made a tuple).
    tol: None, or stop once norm(grad) / n < tol. The run also stops after
        maxiter iterations, so a tolerance never reached cannot hang it
        (maxiter=None lifts that cap).
    bounds: None, one (min, max) pair for every variable, or one pair per
        variable. An empty sequence prints "Warning: empty bounds are treated
        as no bounds." and runs without bounds.
    callback: None, or called as callback(x) after every iteration.
    **options: a=1.0, c=1.0, alpha=0.602, gamma=0.101, A=10, maxiter=100,
        and the switches calibrate=False, blocking=False, return_best=False,
        second_order=False (below); other keys are ignored, with a NorvalisWarning naming them
        ("Unknown solver options: 'max_iter' (they are ignored)"). maxiter must be a whole number or None
        (ValueError otherwise, so that infinity cannot hang the run).

Switches (each True or False, a NumPy bool too; TypeError otherwise):
    calibrate: before the first iteration, draws 25 sign vectors, evaluates
        func at x0 +- c delta for each, and replaces a by
        c * (1 + A) ** alpha / m, m the mean |gradient estimate| over those
        samples, so that the first step moves each variable by about c. With
        no slope seen (m zero or not finite) a stays as given. 50 calls.
    blocking: evaluates func 25 times at x0 first, and then at every
        candidate point; a step whose value exceeds the current one by more
        than twice the standard deviation of those 25 values (0 for a
        deterministic objective) is refused, and x stays where it was (the
        callback still runs). 25 calls, then 3 per iteration.
    return_best: returns (x, value), the evaluated point of lowest value
        and that value as func returned it, rather than the last iterate.
        Every call counts, calibrate's and blocking's included.
    second_order: Spall's second-order variant (2SPSA). Each iteration also
        draws a second sign vector delta2 and evaluates func at
        x + ck delta + ck delta2 and x - ck delta + ck delta2 (clipped); the
        one-sided gradients there give a Hessian estimate, symmetrised, whose
        running mean H (the newest weighted max(1/j, 0.01), j counting the
        estimates with finite entries) preconditions the step:
        x = clip(x - ak P grad), P the inverse of H with each eigenvalue
        replaced by its magnitude plus 1e-4 times the largest magnitude.
        With ak near 1 this is a Newton step, so a of about 1 to 10 and a
        c small against the scale on which the Hessian changes suit it.
        2 more calls per iteration. While the largest magnitude is not
        above 100 times the rounding of the estimates (the running mean of
        2 eps max|f| / ck**2 over the four values, eps the double's epsilon),
        curvature is not resolved and the step is the first-order one; that
        rounding level times 100 also bounds the added floor from below.
        The first estimates rest on few samples and may throw a step far:
        use it with blocking, which refuses such steps.
    blocking, return_best and second_order need func to return real numbers
    (TypeError otherwise). Calls come in this order: calibrate's pairs,
    blocking's values at x0, then per iteration x + ck delta, x - ck delta,
    with second_order the two points moved by ck delta2, and, with blocking,
    the candidate.

Unless return_best is on, a RuntimeWarning says so when the run diverged: the
mean of the last pair of values exceeds 1e3 |f0| + 1, f0 the mean of the
first pair (NaN included). The returned point is the same either way.

Raises, before the first call of func:
    ValueError("Parameter is too small or is less than 0: <value>") for the
    first of a, c, A, alpha, gamma (in that order) below 1e-8 or NaN;
    TypeError("calibrate must be True or False, got <type>"), and the same
    for blocking, then return_best, then second_order;
    ValueError("One of the lower bounds is greater than an upper bound.");
    IndexError("Dimension of ``bounds`` does not match the dimension of
    variable ``x``.").

A variable whose two evaluated points coincide (lower and upper bound equal)
gets a zero gradient component instead of NaN.

The default gains suit objectives of curvature about 1; steeper ones need a
smaller `a`: f(x) = 10 x.x from (1, 1) diverges to about 1e16 with a = 1 and
converges with a = 0.1.
)DOC");

    m.def("_check_bounds", check_bounds, {arg("d"), arg("bounds")}, R"DOC(
The bounds as an array to clip with: d rows of the single (min, max) pair, or
the n-by-2 array of one pair per variable; None (after printing "Warning:
empty bounds are treated as no bounds.") for empty bounds.

Raises ValueError("One of the lower bounds is greater than an upper bound.")
and IndexError("Dimension of ``bounds`` does not match the dimension of
variable ``x``.") when there are several pairs and not d.
)DOC");

    m.def("_jail_inside", jail_inside, {arg("x"), arg("bounds")}, R"DOC(
x clipped into the bounds (a new array), or x itself when bounds is None.
)DOC");
}
