#pragma once
// inspect.signature for nanobind functions. nanobind's function objects carry their
// signature only in a private form, so inspect, help() and IDEs see (*args, **kwargs) or
// nothing. add_signatures() swaps each function of a module (private ones too, so that
// pickle finds them by name) and each public method for a thin forwarding callable that
// also carries __text_signature__, and gives each class a __signature__ taken from its
// __init__. The forwarding costs a few nanoseconds a call.
#include <nanobind/nanobind.h>

namespace kestrix::py {

/// Call last in NB_MODULE, once every function and class is defined.
void add_signatures(nanobind::module_& m);

}  // namespace kestrix::py
