#pragma once
// Running a program under a noise model, by quantum trajectories or on the exact density
// matrix. Results are the simulator's own (Result): counts over the measured classical
// bits, and probabilities averaged over the trajectories or read off the density matrix.
#include <cstdint>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/ir/program.h"
#include "kestrix/lib/noise/model.h"
#include "kestrix/lib/run/simulator.h"

namespace kestrix {

class NoisySimulator {
  public:
    enum class Method : uint8_t { Trajectories, DensityMatrix };

    /// Runs `program` for `shots` shots under `model`; the seed fixes every draw.
    ///
    /// Trajectories: one state per trajectory. When every channel is a mixture of
    /// unitaries and every measurement is terminal, each shot's branches are drawn up front,
    /// shots with the same branches share one simulation (a lightly noisy circuit costs a
    /// few), and the shots are drawn from its final state; otherwise each shot is simulated
    /// on its own, general channels choosing their branch by its probability on the state.
    /// The probabilities of the result are the trajectories' average.
    ///
    /// DensityMatrix: the exact noisy state; its diagonal gives the probabilities, and the
    /// shots are drawn from it (terminal measurements only: ValueError otherwise).
    ///
    /// Readout errors flip the measured values of each shot.
    static Result run(const Program& program, const NoiseModel& model, uint64_t shots,
                      uint64_t seed, Method method, const InterruptCheck& interrupt = {},
                      bool keep_memory = false);
};

}  // namespace kestrix
