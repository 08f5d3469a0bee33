// kestrix.core: gates, circuits, programs, the CPU simulator and amplitude encoding.
#include "core.h"

#include "kestrix/py/convert.h"
#include "kestrix/py/errors.h"
#include "kestrix/py/pickling.h"
#include "kestrix/py/signature.h"

NB_MODULE(core, m) {
    m.doc() = "kestrix core: circuits, gates and the CPU state-vector simulator.";
    kestrix::py::register_exceptions();
    kestrix::py::bind_parameters(m);
    kestrix::py::bind_gates(m);
    kestrix::py::bind_circuits(m);
    kestrix::py::bind_machine(m);
    kestrix::py::bind_encode(m);
    kestrix::py::bind_loads(m);
    kestrix::py::add_signatures(m);
}
