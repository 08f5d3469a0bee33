#include "kestrix/lib/dist/communicator.h"

#include <stdexcept>
#include <string>

#include "kestrix/lib/base/errors.h"

namespace kestrix {

std::vector<double> allgather(Communicator& comm, std::span<const double> mine) {
    std::vector<double> all(mine.size() * size_t(comm.size()));
    comm.allgather(mine.data(), all.data(), mine.size_bytes());
    return all;
}

std::vector<uint64_t> allgather(Communicator& comm, std::span<const uint64_t> mine) {
    std::vector<uint64_t> all(mine.size() * size_t(comm.size()));
    comm.allgather(mine.data(), all.data(), mine.size_bytes());
    return all;
}

std::vector<uint64_t> allgather_varied(Communicator& comm, const std::vector<uint64_t>& mine) {
    const uint64_t count = mine.size();
    const std::vector<uint64_t> counts = allgather(comm, std::span<const uint64_t>(&count, 1));
    std::vector<uint64_t> all;
    for (int r = 0; r < comm.size(); ++r) {
        std::vector<uint64_t> part = r == comm.rank() ? mine : std::vector<uint64_t>(counts[r]);
        if (!part.empty()) comm.broadcast(part.data(), part.size() * sizeof(uint64_t), r);
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::vector<double> sum_over_ranks(Communicator& comm, std::span<const double> mine) {
    const std::vector<double> all = allgather(comm, mine);
    std::vector<double> sum(mine.size(), 0.0);
    for (size_t r = 0; r < size_t(comm.size()); ++r)
        for (size_t i = 0; i < sum.size(); ++i) sum[i] += all[r * sum.size() + i];
    return sum;
}

namespace {

enum ErrorKind : uint64_t { kNone, kValue, kIndex, kMemory, kInterrupted, kOther };

ErrorKind kind_of(std::exception_ptr error, std::string& message) {
    try {
        std::rethrow_exception(error);
    } catch (const ValueError& e) {
        message = e.what();
        return kValue;
    } catch (const IndexError& e) {
        message = e.what();
        return kIndex;
    } catch (const MemoryError& e) {
        message = e.what();
        return kMemory;
    } catch (const Interrupted&) {
        return kInterrupted;
    } catch (const std::bad_alloc&) {
        message = "out of memory";
        return kMemory;
    } catch (const std::exception& e) {
        message = e.what();
        return kOther;
    } catch (...) {
        message = "unknown error";
        return kOther;
    }
}

}  // namespace

void fail_together(Communicator& comm, std::exception_ptr error) {
    std::string message;
    const uint64_t kind = error ? kind_of(error, message) : kNone;
    const std::vector<uint64_t> kinds = allgather(comm, std::span<const uint64_t>(&kind, 1));
    int failed = -1;
    for (int r = 0; r < comm.size() && failed < 0; ++r)
        if (kinds[r] != kNone) failed = r;
    if (failed < 0) return;
    uint64_t length = message.size();
    comm.broadcast(&length, sizeof length, failed);
    message.resize(length);
    if (length) comm.broadcast(message.data(), length, failed);
    if (error) std::rethrow_exception(error);  // a rank that failed raises its own error
    const std::string text = "process " + std::to_string(failed) + ": " + message;
    switch (kinds[failed]) {
        case kValue: throw ValueError(text);
        case kIndex: throw IndexError(text);
        case kMemory: throw MemoryError(text);
        case kInterrupted: throw Interrupted();
        default: throw std::runtime_error(text);
    }
}

}  // namespace kestrix
