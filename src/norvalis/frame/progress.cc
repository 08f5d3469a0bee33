#include "norvalis/frame/progress.h"

#include "norvalis/frame/values.h"

namespace norvalis::frame {

nb::object norvalis_warning() { return nb::module_::import_("norvalis").attr("NorvalisWarning"); }

Progress::Progress(nb::handle verbose, const char* description, std::optional<Py_ssize_t> total)
    : description_(description), total_(total) {
    if (!truthy(verbose)) return;
    shown_ = true;
    nb::object tqdm = nb::steal(PyImport_ImportModule("tqdm"));
    if (!tqdm.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw nb::python_error();
        PyErr_Clear();  // no tqdm: the plain line
        write_plain(false);
        return;
    }
    nb::object count = total ? nb::object(nb::int_(*total)) : nb::none();
    bar_ = tqdm.attr("tqdm")(nb::arg("total") = count, nb::arg("desc") = description);
}

Progress::~Progress() {
    if (!shown_) return;
    // Runs while an exception may be leaving the call: keep it, and drop any of close's own.
    PyObject* pending = PyErr_GetRaisedException();
    try {
        close();
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
}

void Progress::advance(Py_ssize_t steps, const std::string& note) {
    if (!shown_) return;
    done_ += steps;
    note_ = note;
    if (!bar_.is_valid()) return write_plain(false);
    if (!note.empty())
        bar_.attr("set_postfix_str")(nb::str(note.data(), note.size()), nb::arg("refresh") = false);
    bar_.attr("update")(steps);
}

void Progress::close() {
    if (!shown_) return;
    shown_ = false;
    if (bar_.is_valid()) {
        bar_.attr("close")();
    } else {
        write_plain(true);
    }
}

void Progress::write_plain(bool last) {
    std::string line("\r");
    line.append(description_).append(": ").append(std::to_string(done_));
    if (total_) line.append("/").append(std::to_string(*total_));
    if (!note_.empty()) line.append(" (").append(note_).append(")");
    if (last) line.append("\n");
    nb::object err = nb::module_::import_("sys").attr("stderr");
    if (err.is_none()) return;
    err.attr("write")(nb::str(line.data(), line.size()));
    err.attr("flush")();
}

}  // namespace norvalis::frame
