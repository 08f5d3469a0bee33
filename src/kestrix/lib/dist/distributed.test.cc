#include "kestrix/lib/dist/distributed.h"

#include <gtest/gtest.h>

#include <barrier>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/dist/swap_plan.h"
#include "kestrix/lib/run/evolve.h"
#include "kestrix/lib/run/pauli.h"
#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

// Ranks as threads of this process: collectives meet at a barrier, point-to-point
// messages go through queues.
struct Shared {
    explicit Shared(int size) : size(size), barrier(size), slots(size) {}
    int size;
    std::barrier<> barrier;
    std::vector<const void*> slots;
    std::mutex mutex;
    std::condition_variable ready;
    std::map<std::pair<int, int>, std::deque<std::vector<char>>> mail;
};

class ThreadComm : public Communicator {
  public:
    ThreadComm(Shared& shared, int rank) : s_(shared), rank_(rank) {}
    int rank() const override { return rank_; }
    int size() const override { return s_.size; }
    void exchange(int partner, const void* send, void* recv, size_t bytes) override {
        s_.slots[rank_] = send;
        s_.barrier.arrive_and_wait();
        std::memcpy(recv, s_.slots[partner], bytes);
        s_.barrier.arrive_and_wait();
    }
    void allgather(const void* mine, void* all, size_t bytes) override {
        s_.slots[rank_] = mine;
        s_.barrier.arrive_and_wait();
        for (int r = 0; r < s_.size; ++r)
            std::memcpy(static_cast<char*>(all) + r * bytes, s_.slots[r], bytes);
        s_.barrier.arrive_and_wait();
    }
    void broadcast(void* data, size_t bytes, int root) override {
        if (rank_ == root) s_.slots[root] = data;
        s_.barrier.arrive_and_wait();
        if (rank_ != root) std::memcpy(data, s_.slots[root], bytes);
        s_.barrier.arrive_and_wait();
    }
    void send(int to, const void* data, size_t bytes) override {
        std::lock_guard lock(s_.mutex);
        const char* p = static_cast<const char*>(data);
        s_.mail[{rank_, to}].emplace_back(p, p + bytes);
        s_.ready.notify_all();
    }
    void recv(int from, void* data, size_t bytes) override {
        std::unique_lock lock(s_.mutex);
        auto& box = s_.mail[{from, rank_}];
        s_.ready.wait(lock, [&] { return !box.empty(); });
        std::memcpy(data, box.front().data(), bytes);
        box.pop_front();
    }

  private:
    Shared& s_;
    int rank_;
};

// Runs body(comm) on `size` threads; returns each rank's error message ("" when none).
template <class Body>
std::vector<std::string> on_ranks(int size, Body body) {
    Shared shared(size);
    std::vector<std::string> errors(size);
    std::vector<std::thread> threads;
    for (int r = 0; r < size; ++r) {
        threads.emplace_back([&, r] {
            try {
                body(std::make_shared<ThreadComm>(shared, r));
            } catch (const std::exception& e) {
                errors[r] = e.what();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    return errors;
}

TEST(Distributed, RandomCircuitsMatchOneProcess) {
    std::mt19937_64 rng(11);
    for (int size : {2, 4, 8}) {
        for (int trial = 0; trial < 6; ++trial) {
            const int n = 4 + int(rng() % 5);
            if ((1 << n) < 4 * size) continue;
            Program p;
            p.circuit = testing::random_circuit(n, 40, rng);
            const std::vector<cplx> expected = testing::reference_state(p.circuit, n);
            const std::vector<std::string> errors = on_ranks(size, [&](auto comm) {
                const DistributedResult r =
                    DistributedSimulator::run(p, 1, 5, comm, {.buffer_share = 0.25});
                const std::optional<StateVector> whole = r.gather(0);
                if (comm->rank() != 0) return;
                ASSERT_TRUE(whole);
                EXPECT_LT(testing::max_distance(whole->data(), expected.data(), expected.size()),
                          1e-12)
                    << "n=" << n << " ranks=" << size;
            });
            for (const std::string& e : errors) EXPECT_EQ(e, "");
        }
    }
}

TEST(Distributed, CountsAndProbabilitiesMatchOneProcess) {
    std::mt19937_64 rng(3);
    const int n = 7;
    const Circuit unitary = testing::random_circuit(n, 30, rng);
    Program p;
    p.circuit = unitary;
    for (int q : {6, 1, 4}) p.circuit.append(make_measure(q, q));
    const Result one = Simulator::run(p, 500, 99);
    on_ranks(4, [&](auto comm) {
        const DistributedResult r = DistributedSimulator::run(p, 500, 99, comm);
        EXPECT_EQ(r.result().counts(), one.counts());
        PauliSum h{n,
                   {{PauliString::from_label("XYZIIXZ"), 0.5},
                    {PauliString::from_label("YIIIIIY"), -1.5},
                    {PauliString::from_label("IIIIIII"), 2.0}}};
        StateVector state(n);
        apply_circuit(state, unitary);
        EXPECT_NEAR(r.expectation(h), expectation(h, state), 1e-12);
        // The states agree to rounding: the split state runs other fused blocks.
        const std::vector<double> a = r.exact_probabilities({5, 0, 6});
        const std::vector<double> b = one.exact_probabilities({5, 0, 6});
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 1e-12);
    });
}

TEST(Distributed, PlanSwapsOnlyForGlobalTargets) {
    Circuit c;
    for (int q = 0; q < 6; ++q) c.append(make_gate(GateKind::H, {q}, {}));  // 2 global
    c.append(make_gate(GateKind::CZ, {5, 4}, {}));
    c.append(make_gate(GateKind::CNOT, {5, 0}, {}));  // control on a global qubit
    const Schedule s = make_schedule(c, 6, true);
    const SwapPlan plan(s, 6, 2);
    // One swap in and one back for each of the two global qubits that H targets.
    EXPECT_EQ(plan.swaps(), 4u);
}

TEST(Distributed, RefusesBadSizesOnEveryRank) {
    Program p;
    p.circuit.append(make_gate(GateKind::H, {0}, {}));
    p.circuit.append(make_gate(GateKind::CNOT, {0, 1}, {}));
    for (int size : {3, 4}) {
        const std::vector<std::string> errors = on_ranks(size, [&](auto comm) {
            EXPECT_THROW(DistributedSimulator::run(p, 1, 0, comm), ValueError);
        });
        for (const std::string& e : errors) EXPECT_EQ(e, "");
    }
}

TEST(Distributed, OneRankFailingFailsEveryRankWithItsError) {
    const std::vector<std::string> errors = on_ranks(4, [](auto comm) {
        std::exception_ptr mine;
        if (comm->rank() == 2) mine = std::make_exception_ptr(MemoryError("slice too large"));
        try {
            fail_together(*comm, mine);
            ADD_FAILURE() << "no error on rank " << comm->rank();
        } catch (const MemoryError& e) {
            EXPECT_EQ(std::string(e.what()),
                      comm->rank() == 2 ? "slice too large" : "process 2: slice too large");
        }
        fail_together(*comm, nullptr);  // and none when none failed
    });
    for (const std::string& e : errors) EXPECT_EQ(e, "");
}

}  // namespace
}  // namespace kestrix
