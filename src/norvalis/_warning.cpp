// norvalis._warning: the project's warning class, norvalis.NorvalisWarning. Modules issue
// it through the frame's warn() where a call has something to say that no documented
// printed line covers; `warnings.filterwarnings("ignore", category=NorvalisWarning)`
// silences them all, and "error" turns them into exceptions.
#include "norvalis/frame/frame.h"

NORVALIS_MODULE(_warning, m) {
    using namespace norvalis::frame;
    nb::tuple bases = nb::make_tuple(nb::handle(PyExc_UserWarning));
    auto warning = m.define_class("NorvalisWarning", R"DOC(
A warning from a norvalis module: something the caller should know about a result (an
iteration cap reached before convergence, features left out of an encoding, centres
drawn again) that does not stop the call. A subclass of UserWarning.
)DOC",
                                  bases);
    warning.finish();
}
