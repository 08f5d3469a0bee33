#include "kestrix/py/argument_errors.h"

#include <string>
#include <string_view>
#include <vector>

namespace kestrix::py {

namespace {

struct Param {
    std::string name, annotation;
    bool has_default = false, keyword_only = false, positional_only = false;
    bool var_positional = false, var_keyword = false;
};

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Splits at `separator` outside brackets.
std::vector<std::string_view> split_top(std::string_view text, char separator) {
    std::vector<std::string_view> out;
    int depth = 0;
    size_t start = 0;
    for (size_t k = 0; k <= text.size(); ++k) {
        const char c = k < text.size() ? text[k] : separator;
        if (c == '[' || c == '(') ++depth;
        if (c == ']' || c == ')') --depth;
        if (c == separator && depth == 0) {
            if (std::string_view part = trim(text.substr(start, k - start)); !part.empty())
                out.push_back(part);
            start = k + 1;
        }
    }
    return out;
}

// The parameters of nanobind's "def f(a: int, b: float = \0, *, c: bool = \1) -> R".
bool parse_signature(std::string_view sig, std::vector<Param>& params) {
    const size_t open = sig.find('(');
    if (open == std::string_view::npos) return false;
    size_t close = open;
    for (int depth = 0; close < sig.size(); ++close) {
        depth += sig[close] == '(' || sig[close] == '[';
        depth -= sig[close] == ')' || sig[close] == ']';
        if (depth == 0) break;
    }
    if (close == sig.size()) return false;
    bool keyword_only = false;
    for (std::string_view text : split_top(sig.substr(open + 1, close - open - 1), ',')) {
        if (text == "*") {
            keyword_only = true;
            continue;
        }
        if (text == "/") {
            for (Param& p : params) p.positional_only = true;
            continue;
        }
        Param p;
        const size_t equals = text.find('=');
        p.has_default = equals != std::string_view::npos;
        std::string_view head = trim(text.substr(0, equals));
        const size_t colon = head.find(':');
        std::string_view name = trim(head.substr(0, colon));
        if (colon != std::string_view::npos) p.annotation = trim(head.substr(colon + 1));
        if (name.starts_with("**")) {
            p.var_keyword = true;
            name.remove_prefix(2);
        } else if (name.starts_with("*")) {
            p.var_positional = true;
            keyword_only = true;
            name.remove_prefix(1);
        }
        p.name = name;
        p.keyword_only = keyword_only && !p.var_positional;
        params.push_back(std::move(p));
    }
    return true;
}

std::string_view last_component(std::string_view dotted) {
    const size_t dot = dotted.rfind('.');
    return dot == std::string_view::npos ? dotted : dotted.substr(dot + 1);
}

// "collections.abc.Sequence[int]" -> {"Sequence", "int"}.
std::pair<std::string_view, std::string_view> generic_parts(std::string_view type) {
    const size_t open = type.find('[');
    if (open == std::string_view::npos || type.back() != ']') return {last_component(type), {}};
    return {last_component(type.substr(0, open)), type.substr(open + 1, type.size() - open - 2)};
}

bool is_sequence_name(std::string_view base) {
    return base == "Sequence" || base == "Iterable" || base == "list" || base == "tuple" ||
           base == "Collection";
}

bool is_array_name(std::string_view type) {
    return type.starts_with("numpy.typing.ArrayLike") || type.starts_with("numpy.ndarray") ||
           type.starts_with("ArrayLike") || type.starts_with("ndarray");
}

std::string plural(std::string_view element) {
    if (element == "int" || element == "typing.SupportsIndex") return "integers";
    if (element == "float") return "real numbers";
    if (element == "complex") return "complex numbers";
    if (element == "str") return "strings";
    if (element == "bool") return "bools";
    if (element.starts_with("tuple[")) return "tuples";
    return std::string(last_component(element)) + " values";
}

// What one alternative of an annotation asks for, as a reader would say it.
std::string describe_one(std::string_view type) {
    if (type == "int" || type == "typing.SupportsIndex") return "an integer";
    if (type == "float") return "a real number";
    if (type == "complex") return "a complex number";
    if (type == "bool") return "a bool";
    if (type == "str") return "a string";
    if (type == "bytes") return "bytes";
    if (type == "None") return "None";
    if (is_array_name(type)) return "an array";
    auto [base, element] = generic_parts(type);
    if (is_sequence_name(base))
        return element.empty() ? "a sequence"
                               : "a sequence of " + plural(split_top(element, ',')[0]);
    if (base == "dict" || base == "Mapping") return "a dict";
    if (base == "Callable") return "a callable";
    const std::string name(base);
    const bool vowel =
        !name.empty() && std::string_view("AEIOUaeiou").find(name[0]) != std::string_view::npos;
    return (vowel ? "an " : "a ") + name;
}

// "an integer or a sequence of integers", "a QProg, a QCircuit or a QGate".
std::string describe(std::string_view annotation) {
    std::vector<std::string_view> alternatives = split_top(annotation, '|');
    std::string out;
    for (size_t k = 0; k < alternatives.size(); ++k) {
        if (k) out += k + 1 == alternatives.size() ? " or " : ", ";
        out += describe_one(alternatives[k]);
    }
    return out;
}

bool type_named(PyObject* value, std::string_view name) {
    PyObject* mro = Py_TYPE(value)->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return true;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); ++k) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, k));
        if (last_component(type->tp_name) == name) return true;
    }
    return false;
}

// Whether `value` can stand for one alternative. Only a clear mismatch counts: a type the
// reading here does not know is taken as accepted, so that a wrong argument is never blamed.
bool accepts_one(PyObject* value, std::string_view type) {
    if (type == "object" || type == "typing.Any" || type == "Any") return true;
    if (value == Py_None) return type == "None";
    if (type == "None") return false;
    if (type == "int" || type == "typing.SupportsIndex")
        return PyIndex_Check(value) && !PyFloat_Check(value);
    if (type == "float")
        return PyFloat_Check(value) || PyIndex_Check(value) ||
               (Py_TYPE(value)->tp_as_number && Py_TYPE(value)->tp_as_number->nb_float);
    if (type == "bool") return PyBool_Check(value) || type_named(value, "bool");
    if (type == "str") return PyUnicode_Check(value);
    if (type == "bytes") return PyBytes_Check(value);
    auto [base, element] = generic_parts(type);
    if (is_sequence_name(base))
        return !PyUnicode_Check(value) && !PyBytes_Check(value) &&
               (PySequence_Check(value) || Py_TYPE(value)->tp_iter != nullptr);
    if (base == "Callable") return PyCallable_Check(value);
    if (base == "dict" || base == "Mapping") return PyMapping_Check(value);
    // A class of the SDK, named in the signature: the value's type or one of its bases.
    if (!base.empty() && base.front() >= 'A' && base.front() <= 'Z' && !is_array_name(type) &&
        type.find('.') == std::string_view::npos)
        return type_named(value, base);
    return true;
}

bool accepts(PyObject* value, std::string_view annotation) {
    if (annotation.empty()) return true;
    for (std::string_view alternative : split_top(annotation, '|'))
        if (accepts_one(value, alternative)) return true;
    return false;
}

std::string type_name(PyObject* value) { return Py_TYPE(value)->tp_name; }

std::string positional_count(size_t n) {
    return std::to_string(n) + " positional argument" + (n == 1 ? "" : "s");
}

// The message for this call, or empty when nothing in it can be named.
std::string message_for(const std::string& name, std::vector<Param> params, bool self_in_args,
                        PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    size_t npos = PyVectorcall_NARGS(nargsf);
    // A method's self is not the caller's to count; a constructor's is not in the call.
    if (!params.empty() && params.front().name == "self" && (npos > 0 || !self_in_args)) {
        params.erase(params.begin());
        if (self_in_args) {
            ++args;
            --npos;
        }
    }
    std::vector<PyObject*> bound(params.size(), nullptr);
    size_t positional = 0;
    bool takes_varargs = false, takes_kwargs = false;
    for (const Param& p : params) {
        positional += !p.keyword_only && !p.var_positional && !p.var_keyword;
        takes_varargs |= p.var_positional;
        takes_kwargs |= p.var_keyword;
    }
    const std::string head = name + "(): ";
    if (npos > positional && !takes_varargs) {
        return head + "takes " + positional_count(positional) + " but " + std::to_string(npos) +
               (npos == 1 ? " was" : " were") + " given";
    }
    for (size_t k = 0, slot = 0; k < npos && slot < params.size(); ++slot) {
        if (params[slot].keyword_only || params[slot].var_keyword) break;
        if (!params[slot].var_positional) bound[slot] = args[k++];
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        const char* keyword = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
        if (!keyword) {
            PyErr_Clear();
            return {};
        }
        size_t slot = 0;
        while (slot < params.size() &&
               (params[slot].name != keyword || params[slot].positional_only ||
                params[slot].var_positional || params[slot].var_keyword))
            ++slot;
        if (slot == params.size()) {
            if (takes_kwargs) continue;
            return head + "unexpected keyword argument '" + keyword + "'";
        }
        if (bound[slot]) return head + "multiple values for argument '" + keyword + "'";
        bound[slot] = args[npos + k];
    }
    for (size_t slot = 0; slot < params.size(); ++slot) {
        const Param& p = params[slot];
        if (!bound[slot] && !p.has_default && !p.var_positional && !p.var_keyword)
            return head + "missing required argument '" + p.name + "'";
    }
    for (size_t slot = 0; slot < params.size(); ++slot) {
        const Param& p = params[slot];
        if (bound[slot] && !accepts(bound[slot], p.annotation)) {
            return head + p.name + " must be " + describe(p.annotation) + ", got " +
                   type_name(bound[slot]);
        }
    }
    // Nothing to blame by its type alone: say what was given and what is taken.
    std::string given;
    for (size_t slot = 0; slot < params.size(); ++slot) {
        if (!bound[slot]) continue;
        given += (given.empty() ? "" : ", ") + params[slot].name + ": " + type_name(bound[slot]);
    }
    return head + "the arguments (" + given + ") do not match its parameters";
}

// Whether the pending error is nanobind's "f(): incompatible function arguments. ...".
bool is_mismatch(PyObject* error) {
    if (!error || !PyErr_GivenExceptionMatches(error, PyExc_TypeError)) return false;
    PyObject* text = PyObject_Str(error);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    const char* utf8 = PyUnicode_AsUTF8(text);
    const bool found = utf8 && std::string_view(utf8).find("(): incompatible function arguments") !=
                                   std::string_view::npos;
    if (!utf8) PyErr_Clear();
    Py_DECREF(text);
    return found;
}

std::string function_name(PyObject* function, std::string_view sig) {
    if (PyObject* qualname = PyObject_GetAttrString(function, "__qualname__")) {
        std::string out;
        if (const char* text = PyUnicode_Check(qualname) ? PyUnicode_AsUTF8(qualname) : nullptr)
            out = text;
        Py_DECREF(qualname);
        PyErr_Clear();
        if (!out.empty()) return out;
    }
    PyErr_Clear();
    sig.remove_prefix(sig.starts_with("def ") ? 4 : 0);
    return std::string(sig.substr(0, sig.find('(')));
}

// The one signature of a nanobind function, or empty when it has overloads or none.
std::string single_signature(PyObject* function) {
    PyObject* signatures = PyObject_GetAttrString(function, "__nb_signature__");
    std::string out;
    if (signatures && PyTuple_Check(signatures) && PyTuple_GET_SIZE(signatures) == 1) {
        PyObject* entry = PyTuple_GET_ITEM(signatures, 0);
        if (PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) > 0 &&
            PyUnicode_Check(PyTuple_GET_ITEM(entry, 0))) {
            if (const char* text = PyUnicode_AsUTF8(PyTuple_GET_ITEM(entry, 0))) out = text;
        }
    }
    Py_XDECREF(signatures);
    PyErr_Clear();
    return out;
}

}  // namespace

namespace {

// Replaces nanobind's mismatch error, if that is what is pending, by the message for a call
// of `function` (named `name`, or by its own name when empty).
void explain(PyObject* function, const std::string& name, bool self_in_args, PyObject* const* args,
             size_t nargsf, PyObject* kwnames) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    if (!is_mismatch(error)) {
        PyErr_SetRaisedException(error);
        return;
    }
    std::string message;
    try {
        const std::string sig = single_signature(function);
        std::vector<Param> params;
        if (!sig.empty() && parse_signature(sig, params)) {
            message = message_for(name.empty() ? function_name(function, sig) : name, params,
                                  self_in_args, args, nargsf, kwnames);
        }
    } catch (...) {
        message.clear();
    }
    PyErr_Clear();
    if (message.empty()) {
        PyErr_SetRaisedException(error);
        return;
    }
    Py_DECREF(error);
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

}  // namespace

void explain_argument_error(PyObject* function, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept {
    explain(function, std::string(), true, args, nargsf, kwnames);
}

void explain_constructor_error(PyTypeObject* type, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    PyObject* init = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__init__");
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    if (!init) return;
    explain(init, std::string(last_component(type->tp_name)), false, args, nargsf, kwnames);
    Py_DECREF(init);
}

}  // namespace kestrix::py
