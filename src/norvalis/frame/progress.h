#pragma once
// What a long call tells its caller while it runs: project warnings (norvalis.NorvalisWarning
// through Python's warnings) and a progress bar for calls the caller marked verbose, tqdm's
// when tqdm is installed, else a plain line on standard error.
#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "norvalis/frame/errors.h"

namespace norvalis::frame {

namespace nb = nanobind;

/// norvalis.NorvalisWarning, looked up at each use.
nb::object norvalis_warning();

/// Issues norvalis.NorvalisWarning with a message formatted as PyErr_Format does, pointing
/// at the Python code that called the module. Under `warnings.simplefilter("error")` the
/// warning is raised.
template <class... Args>
void warn(Located format, Args... args) {
    nb::object category = norvalis_warning();
    int status;
    if constexpr (sizeof...(Args) == 0) {
        status = PyErr_WarnEx(category.ptr(), format.text, 1);
    } else {
        status = PyErr_WarnFormat(category.ptr(), 1, format.text, args...);
    }
    if (status < 0) throw RaisedError(format.where);
}

/// A progress bar over `total` steps (none: open-ended), shown only when `verbose` is true.
/// With tqdm installed it is tqdm(total=..., desc=...); without, one line on sys.stderr
/// rewritten at each step and ended at close. Closed by close() or the destructor, which
/// keeps any pending exception.
class Progress {
  public:
    Progress(nb::handle verbose, const char* description, std::optional<Py_ssize_t> total);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();

    bool shown() const { return shown_; }
    /// `steps` more done; `note` (may be empty) is shown beside the count.
    void advance(Py_ssize_t steps, const std::string& note = {});
    void close();

  private:
    void write_plain(bool last);

    bool shown_ = false;
    nb::object bar_;  ///< the tqdm bar, or invalid for the plain line
    std::string description_;
    std::optional<Py_ssize_t> total_;
    Py_ssize_t done_ = 0;
    std::string note_;
};

}  // namespace norvalis::frame
