#pragma once
// Communicator over an MPI communicator. Compiled only into kestrix._mpi, where CMake found
// MPI: nothing else in kestrix needs MPI.
#include <mpi.h>

#include "kestrix/lib/dist/communicator.h"

namespace kestrix {

class MpiCommunicator : public Communicator {
  public:
    /// Uses `comm` as it is (no duplicate: freeing one would be collective, and could come
    /// after MPI has been finalised). A collective call: it counts the ranks per machine.
    explicit MpiCommunicator(MPI_Comm comm);

    int rank() const override { return rank_; }
    int size() const override { return size_; }
    void exchange(int partner, const void* send, void* recv, size_t bytes) override;
    void allgather(const void* mine, void* all, size_t bytes) override;
    void broadcast(void* data, size_t bytes, int root) override;
    void send(int to, const void* data, size_t bytes) override;
    void recv(int from, void* data, size_t bytes) override;
    int ranks_on_this_machine() const override { return local_size_; }

  private:
    MPI_Comm comm_;
    int rank_ = 0, size_ = 1, local_size_ = 1;
};

}  // namespace kestrix
