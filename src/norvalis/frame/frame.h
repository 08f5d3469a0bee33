#pragma once
// The one include of a norvalis module's source: the frame (module, functions, classes,
// errors, value helpers, originals) and the SDK pieces that modules build circuits with. A module
// writes `using namespace norvalis::frame;` inside its anonymous namespace.
#include <nanobind/nanobind.h>

#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/ir/gate.h"
#include "kestrix/lib/ir/program.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/run.h"
#include "norvalis/frame/errors.h"
#include "norvalis/frame/function.h"
#include "norvalis/frame/module.h"
#include "norvalis/frame/originals.h"
#include "norvalis/frame/progress.h"
#include "norvalis/frame/sdk.h"
#include "norvalis/frame/values.h"

namespace norvalis::frame {

using kestrix::Circuit;
using kestrix::Gate;
using kestrix::GateKind;
using kestrix::make_gate;
using kestrix::make_measure;
using kestrix::Program;
using kestrix::py::evolve;
using kestrix::py::run_program;
using kestrix::py::to_angle;
using kestrix::py::to_circuit;
using kestrix::py::to_count;
using kestrix::py::to_index;
using kestrix::py::to_index_list;

}  // namespace norvalis::frame
