#pragma once
// Running a program: from the all-zero state, through every gate, to shot counts and
// probabilities. Terminal measurements are sampled from one simulation; a program that
// measures a qubit and then acts on it again is simulated once per shot, with collapse.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/ir/program.h"
#include "kestrix/lib/run/outcome.h"
#include "kestrix/lib/run/statevector.h"

namespace kestrix {

class Plan;

class Result {
  public:
    int num_qubits() const { return num_qubits_; }
    uint64_t shots() const { return shots_; }
    /// The precision of the state that made this result.
    Precision precision() const { return precision_; }
    bool measured() const { return !cbits_.empty(); }
    /// Distinct measured classical bits, ascending.
    const std::vector<int>& cbits() const { return cbits_; }
    /// (outcome, count) ascending by outcome; outcome bit j is the value of cbits()[j].
    const std::vector<std::pair<Outcome, uint64_t>>& counts() const { return counts_; }

    /// The shots in the order they were drawn, each as the index in counts() of its
    /// outcome: kept only when the run asked for it (empty for a program that measures
    /// nothing). Its tally is counts().
    const std::optional<std::vector<uint32_t>>& memory() const { return memory_; }

    /// Exact probabilities over `qubits` (index bit k = qubits[k]).
    std::vector<double> exact_probabilities(const std::vector<int>& qubits) const;
    /// Shot frequencies over `qubits` when all of them were measured; nullopt otherwise.
    std::optional<std::vector<double>> shot_frequencies(const std::vector<int>& qubits) const;
    /// What get_prob_list(qubits) reads: frequencies when all are measured, else exact.
    std::vector<double> probabilities(const std::vector<int>& qubits) const;

    /// Same width, shots, measured bits, counts and probabilities (state or averages).
    friend bool operator==(const Result& a, const Result& b) = default;

  private:
    friend class DistributedSimulator;  // runs over many processes fill the fields too

    friend class Simulator;
    friend class NoisySimulator;  // noisy runs fill the same fields
    friend struct ResultCodec;    // pickling reads and rebuilds every field
    int num_qubits_ = 0;
    uint64_t shots_ = 0;
    Precision precision_ = Precision::Double;
    std::vector<int> cbits_;
    std::vector<int> cbit_qubit_;  ///< the qubit whose value each of cbits_ holds
    std::vector<std::pair<Outcome, uint64_t>> counts_;
    std::optional<StateVector> state_;  ///< final state when one simulation served all shots
    std::vector<double> mean_probs_;    ///< else: final probabilities averaged over shots
    std::optional<std::vector<uint32_t>> memory_;  ///< per-shot outcome indices, when kept
};

class Simulator {
  public:
    /// Runs `program` for `shots` shots; the seed fixes every random draw. With
    /// `keep_memory` the result also holds each shot's outcome in shot order (at most
    /// kMaxMemoryShots shots; ValueError beyond), and its counts are those of the same
    /// run without it.
    /// `precision` is that of the state the run evolves (matrices are rounded to it; sums
    /// over the state accumulate in double either way).
    static Result run(const Program& program, uint64_t shots, uint64_t seed,
                      const InterruptCheck& interrupt = {}, bool keep_memory = false,
                      Precision precision = Precision::Double);
    /// The same run from a plan already made for |0...0> (a parameter sweep plans once),
    /// in the plan's precision; shots and memory as run() has checked them.
    static Result run_plan(const Plan& plan, uint64_t shots, uint64_t seed,
                           const InterruptCheck& interrupt = {}, bool keep_memory = false);
    /// ValueError naming the parameters a circuit still waits for, when there are any.
    static void check_bound(const Circuit& circuit);

    /// The most shots a run that keeps its per-shot memory may take.
    static constexpr uint64_t kMaxMemoryShots = (uint64_t{1} << 32) - 1;

    /// How many passes over the state one simulation of `program` makes once its gates are
    /// lowered, folded, fused and cache-blocked (a measurement counts as one): the figure
    /// that decides the time of a wide circuit.
    static size_t passes(const Program& program);

    /// Runs many independent programs over the engine's threads and returns one result
    /// per program, in order. results[i] is exactly run(programs[i], shots, seeds[i]):
    /// the same counts and the same probabilities to the last bit, whatever the thread
    /// count. Programs narrower than kParallelQubits run whole on one thread each, taken
    /// in turn by whichever thread is free (all on the calling thread when there are only
    /// a few); wider ones run one after another, each on all threads. This is the call
    /// for kernel matrices, k-means distances and losses: a few thousand 2- to 10-qubit
    /// circuits cost about 1 / thread_count() of their one-by-one time.
    ///
    /// `seeds` has one seed per program (ValueError otherwise). `interrupt` is polled on
    /// the calling thread only, between programs and inside long ones; when it returns
    /// true the batch stops and Interrupted is thrown. Any other error a program raises
    /// (MemoryError, ...) is rethrown after the batch, the lowest-index program's first.
    /// Safe to call from several threads at once; a call made from inside a batch's
    /// task runs its programs on the calling thread.
    static std::vector<Result> run_batch(std::span<const Program> programs, uint64_t shots,
                                         std::span<const uint64_t> seeds,
                                         const InterruptCheck& interrupt = {},
                                         Precision precision = Precision::Double);
    /// What run_batch refuses before it runs anything, for callers that send the batch
    /// elsewhere.
    static void check_batch(std::span<const Program> programs, uint64_t shots,
                            std::span<const uint64_t> seeds,
                            Precision precision = Precision::Double);
    /// MemoryError, with the sizes, when the results of `copies` runs of each program
    /// cannot be held at once: a batch hands them back together, each keeping its final
    /// state (or, run shot by shot, its averaged probabilities).
    static void check_results_fit(std::span<const Program> programs, size_t copies = 1,
                                  Precision precision = Precision::Double);

    /// The exact-probability counterpart of run_batch for programs without measurements
    /// (ValueError for one that measures): row i is the distribution of programs[i]'s
    /// final state over `qubits` (index bit k = qubits[k]), or over all of that program's
    /// qubits when `qubits` is nullopt; an empty list gives rows of one entry, 1. Each row
    /// is exactly what run(programs[i], 1, 0).exact_probabilities(qubits) gives; no random
    /// draw is made. IndexError when a qubit lies outside a program's width.
    static std::vector<std::vector<double>> probabilities_batch(
        std::span<const Program> programs, const std::optional<std::vector<int>>& qubits,
        const InterruptCheck& interrupt = {}, Precision precision = Precision::Double);
    /// What probabilities_batch refuses before it runs anything.
    static void check_probabilities_batch(std::span<const Program> programs,
                                          const std::optional<std::vector<int>>& qubits);
    /// MemoryError, with the sizes, when `copies` rows of probabilities per program cannot
    /// be held beside the widest state that makes one, or beside their copy in an array.
    static void check_probability_rows_fit(std::span<const Program> programs,
                                           const std::optional<std::vector<int>>& qubits,
                                           size_t copies = 1);
};

}  // namespace kestrix
