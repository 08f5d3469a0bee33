#include "kestrix/lib/dist/mpi_communicator.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kestrix {

namespace {

// MPI counts are ints: large transfers go in pieces of 1 GiB.
constexpr size_t kPiece = size_t{1} << 30;
constexpr int kTag = 7307;

void check(int code, const char* what) {
    if (code == MPI_SUCCESS) return;
    char text[MPI_MAX_ERROR_STRING];
    int length = 0;
    MPI_Error_string(code, text, &length);
    throw std::runtime_error(std::string("MPI ") + what + " failed: " + std::string(text, length));
}

}  // namespace

MpiCommunicator::MpiCommunicator(MPI_Comm comm) : comm_(comm) {
    check(MPI_Comm_rank(comm_, &rank_), "Comm_rank");
    check(MPI_Comm_size(comm_, &size_), "Comm_size");
    MPI_Comm node;
    check(MPI_Comm_split_type(comm_, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &node),
          "Comm_split_type");
    check(MPI_Comm_size(node, &local_size_), "Comm_size");
    check(MPI_Comm_free(&node), "Comm_free");
}

void MpiCommunicator::exchange(int partner, const void* send, void* recv, size_t bytes) {
    for (size_t at = 0; at < bytes; at += kPiece) {
        const int count = int(std::min(kPiece, bytes - at));
        check(MPI_Sendrecv(static_cast<const char*>(send) + at, count, MPI_BYTE, partner, kTag,
                           static_cast<char*>(recv) + at, count, MPI_BYTE, partner, kTag, comm_,
                           MPI_STATUS_IGNORE),
              "Sendrecv");
    }
}

void MpiCommunicator::allgather(const void* mine, void* all, size_t bytes) {
    if (bytes > kPiece) throw std::length_error("allgather of more than 1 GiB per rank");
    check(MPI_Allgather(mine, int(bytes), MPI_BYTE, all, int(bytes), MPI_BYTE, comm_), "Allgather");
}

void MpiCommunicator::broadcast(void* data, size_t bytes, int root) {
    for (size_t at = 0; at < bytes; at += kPiece)
        check(MPI_Bcast(static_cast<char*>(data) + at, int(std::min(kPiece, bytes - at)), MPI_BYTE,
                        root, comm_),
              "Bcast");
}

void MpiCommunicator::send(int to, const void* data, size_t bytes) {
    for (size_t at = 0; at < bytes; at += kPiece)
        check(MPI_Send(static_cast<const char*>(data) + at, int(std::min(kPiece, bytes - at)),
                       MPI_BYTE, to, kTag, comm_),
              "Send");
}

void MpiCommunicator::recv(int from, void* data, size_t bytes) {
    for (size_t at = 0; at < bytes; at += kPiece)
        check(MPI_Recv(static_cast<char*>(data) + at, int(std::min(kPiece, bytes - at)), MPI_BYTE,
                       from, kTag, comm_, MPI_STATUS_IGNORE),
              "Recv");
}

}  // namespace kestrix
