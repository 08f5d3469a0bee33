#pragma once
// What a state split over processes needs from their communicator: rank and size, a
// pairwise exchange, an all-gather and a broadcast. libkestrix holds no MPI: kestrix._mpi
// implements this over an MPI communicator, the C++ tests over threads of one process.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <vector>

namespace kestrix {

class Communicator {
  public:
    virtual ~Communicator() = default;
    virtual int rank() const = 0;
    virtual int size() const = 0;
    /// Sends `bytes` bytes to `partner` and receives as many from it; both ranks call it.
    virtual void exchange(int partner, const void* send, void* recv, size_t bytes) = 0;
    /// Every rank's `bytes` bytes into `all` (size() * bytes), rank 0's first.
    virtual void allgather(const void* mine, void* all, size_t bytes) = 0;
    /// The root's `bytes` bytes to every rank.
    virtual void broadcast(void* data, size_t bytes, int root) = 0;
    /// Point to point, for gathering a state on one rank.
    virtual void send(int to, const void* data, size_t bytes) = 0;
    virtual void recv(int from, void* data, size_t bytes) = 0;
    /// How many ranks share this rank's machine (and its memory).
    virtual int ranks_on_this_machine() const { return 1; }
};

/// Every rank's values, rank 0's first (each rank gives as many).
std::vector<double> allgather(Communicator& comm, std::span<const double> mine);
std::vector<uint64_t> allgather(Communicator& comm, std::span<const uint64_t> mine);
/// Every rank's values, in rank order, when ranks give different numbers of them.
std::vector<uint64_t> allgather_varied(Communicator& comm, const std::vector<uint64_t>& mine);

/// Sum over ranks of each entry, added in rank order: every rank gets the same bits, and
/// the order never depends on which rank answered first.
std::vector<double> sum_over_ranks(Communicator& comm, std::span<const double> mine);

/// Makes the ranks fail together: every rank calls it with the error it met, or none.
/// When any rank failed, every rank throws the error of the lowest failing rank (same
/// type, same message), so that no rank waits on one that has given up.
void fail_together(Communicator& comm, std::exception_ptr error);

}  // namespace kestrix
