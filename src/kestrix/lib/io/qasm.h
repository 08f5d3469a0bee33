#pragma once
// OpenQASM text in and out.
//
// Writing, version 3: every circuit of named gates exactly, on stdgates.inc gates with
// ctrl @ and inv @ modifiers (U(θ, φ, λ) and p(λ) under controls, whose matrices carry no
// convention of global phase); a UNITARY gate, known only by its matrix, is refused.
// Version 2: qelib1.inc gates as OpenQASM 2 readers know them (the library of the original
// paper), swap and cswap defined in the file from cx and ccx; a circuit that needs
// anything else is refused, the message naming the first gate that does not fit. Angles
// are written in the fewest digits that read back exactly, as multiples of pi where they
// are exactly that.
//
// Reading: OpenQASM 2 and 3 as tools write them: registers (qreg/creg, qubit/bit, joined
// in declaration order), qelib1.inc (with the gates later added to it) and stdgates.inc,
// gate and opaque declarations, the ctrl/negctrl/inv/pow modifiers, broadcasting over
// registers, measure, barrier and gphase (a phase on the whole state is dropped; under
// control it is a phase gate). Anything a state-vector circuit cannot hold (reset,
// classical control, loops, ...) is a ValueError that names its line.
#include <string>
#include <string_view>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/ir/program.h"

namespace kestrix {

/// The program's text. A program expands gate by gate, and a small one appended to itself
/// may hold billions: MemoryError when the text could not fit in memory, and `interrupt`
/// is polled every few thousand gates.
std::string to_qasm(const Program& program, int version, const InterruptCheck& interrupt = {});

/// The program a text describes. Nesting (parentheses, functions, powers, definitions
/// within definitions) is limited to 100 levels and the expansion to 2^21 gates, each a
/// ValueError naming its line; `interrupt` is polled every few thousand gates.
Program from_qasm(std::string_view text, const InterruptCheck& interrupt = {});

}  // namespace kestrix
