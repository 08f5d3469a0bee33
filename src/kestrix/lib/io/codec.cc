#include "kestrix/lib/io/codec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <tuple>
#include <unordered_map>

#include "kestrix/lib/base/errors.h"

namespace kestrix {

namespace {

// Bumped whenever a layout changes; older strings are then refused with a clear message.
constexpr uint8_t kFormat = 1;
// Results that keep their per-shot memory are written in this format: format 1 with the
// memory after it. Results without one are still written, and always read, as format 1.
constexpr uint8_t kResultMemoryFormat = 2;
constexpr int kKindCount = int(GateKind::SX) + 1;

class Writer {
  public:
    explicit Writer(char tag, uint8_t format = kFormat) { out_ = {tag, char(format)}; }
    void u8(uint8_t v) { out_ += char(v); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void i32(int32_t v) { put(uint32_t(v), 4); }
    void f64(double v) { put(std::bit_cast<uint64_t>(v), 8); }
    void f32(float v) { put(std::bit_cast<uint32_t>(v), 4); }
    void ints(std::span<const int> values) {
        u32(uint32_t(values.size()));
        for (int v : values) i32(v);
    }
    void text(std::string_view bytes) {
        u64(bytes.size());
        out_ += bytes;
    }
    std::string take() { return std::move(out_); }

  private:
    void put(uint64_t v, int bytes) {  // little-endian, whatever the host
        char b[8];
        for (int k = 0; k < bytes; ++k) b[k] = char((v >> (8 * k)) & 0xff);
        out_.append(b, size_t(bytes));
    }
    std::string out_;
};

class Reader {
  public:
    /// Formats kFormat to `newest` are read; format() says which one this string has.
    Reader(std::string_view bytes, char tag, const char* what, uint8_t newest = kFormat)
        : in_(bytes), what_(what) {
        if (in_.size() < 2 || in_[0] != tag) fail("it holds something else");
        if (uint8_t(in_[1]) < kFormat || uint8_t(in_[1]) > newest) {
            throw ValueError(std::string("cannot read this ") + what_ +
                             ": it was written in format " + std::to_string(uint8_t(in_[1])) +
                             ", this version reads format " + std::to_string(newest));
        }
        at_ = 2;
    }
    uint8_t format() const { return uint8_t(in_[1]); }
    uint8_t u8() { return uint8_t(get(1)); }
    uint32_t u32() { return uint32_t(get(4)); }
    uint64_t u64() { return get(8); }
    int32_t i32() { return int32_t(uint32_t(get(4))); }
    double f64() { return std::bit_cast<double>(get(8)); }
    float f32() { return std::bit_cast<float>(uint32_t(get(4))); }
    bool flag() {
        const uint8_t v = u8();
        if (v > 1) fail("a flag is neither 0 nor 1");
        return v == 1;
    }
    /// A count of items that take at least `item_bytes` each: never more than the rest holds.
    size_t count(size_t item_bytes) {
        const uint64_t n = u32();
        if (n * item_bytes > in_.size() - at_) fail("a count runs past the end");
        return size_t(n);
    }
    void need(uint64_t bytes) const {
        if (bytes > in_.size() - at_) fail("it ends too early");
    }
    std::vector<int> ints() {
        std::vector<int> out(count(4));
        for (int& v : out) v = i32();
        return out;
    }
    std::string_view text() {
        const uint64_t n = u64();
        if (n > in_.size() - at_) fail("a part runs past the end");
        std::string_view out = in_.substr(at_, n);
        at_ += n;
        return out;
    }
    void finish() const {
        if (at_ != in_.size()) fail("there are bytes after the end");
    }
    [[noreturn]] void fail(const std::string& why) const {
        throw ValueError(std::string("cannot read this ") + what_ + ": the data is damaged (" +
                         why + ")");
    }

  private:
    uint64_t get(int bytes) {
        if (in_.size() - at_ < size_t(bytes)) fail("it ends too early");
        uint64_t v = 0;
        for (int k = 0; k < bytes; ++k) v |= uint64_t(uint8_t(in_[at_ + k])) << (8 * k);
        at_ += bytes;
        return v;
    }
    std::string_view in_;
    size_t at_ = 0;
    const char* what_;
};

// A gate whose angles wait for parameters sets this bit of its kind byte and lists its
// symbols after the rest: strings of gates without parameters keep format 1 exactly.
constexpr uint8_t kSymbolicBit = 0x80;

void write_gate(Writer& w, const Gate& g) {
    w.u8(uint8_t(g.kind) | (g.symbols ? kSymbolicBit : 0));
    w.u8(g.dagger);
    w.ints(std::span<const int>(g.qubits.begin(), g.qubits.end()));
    w.ints(std::span<const int>(g.controls.begin(), g.controls.end()));
    w.u32(uint32_t(g.params.size()));
    for (double p : g.params) w.f64(p);
    w.i32(g.cbit);
    if (g.kind == GateKind::UNITARY) {
        w.u32(uint32_t(g.matrix->size()));
        for (const cplx& z : *g.matrix) {
            w.f64(z.real());
            w.f64(z.imag());
        }
    }
    if (g.symbols) {
        w.u32(uint32_t(g.symbols->size()));
        for (const Symbol& s : *g.symbols) {
            w.u32(uint32_t(s.slot));
            w.text(s.expr.param->name);
            w.u64(s.expr.param->id);
            w.f64(s.expr.scale);
            w.f64(s.expr.offset);
        }
    }
}

// Rebuilt through the checked constructors: what they refuse, a hostile string cannot make.
Gate read_gate(Reader& r) {
    const uint8_t byte = r.u8();
    const uint8_t kind = byte & ~kSymbolicBit;
    if (kind >= kKindCount) r.fail("unknown gate kind " + std::to_string(kind));
    const bool dagger = r.flag();
    const std::vector<int> qubits = r.ints(), controls = r.ints();
    ParamList params;
    for (size_t k = r.count(8); k > 0; --k) params.push_back(r.f64());
    const int cbit = r.i32();
    if ((byte & kSymbolicBit) &&
        (GateKind(kind) == GateKind::MEASURE || GateKind(kind) == GateKind::UNITARY))
        r.fail("parameters on a gate without angles");
    Gate g;
    if (GateKind(kind) == GateKind::MEASURE) {
        if (qubits.size() != 1 || !params.empty()) r.fail("a measurement of the wrong shape");
        g = make_measure(qubits[0], cbit);
    } else if (GateKind(kind) == GateKind::UNITARY) {
        if (cbit != -1 || !params.empty()) r.fail("a UNITARY gate of the wrong shape");
        std::vector<cplx> matrix(r.count(16));
        for (cplx& z : matrix) {
            const double re = r.f64();
            z = cplx(re, r.f64());
        }
        g = make_unitary(QubitList(qubits), std::move(matrix));  // checks size and unitarity
    } else {
        if (cbit != -1) r.fail("a classical bit on a gate that measures nothing");
        SymbolList symbols;
        if (byte & kSymbolicBit) {
            for (size_t k = r.count(32); k > 0; --k) {
                Symbol s;
                s.slot = int(r.u32() & 0xffff);
                std::string name(r.text());
                const uint64_t id = r.u64();
                s.expr.param = make_parameter(std::move(name), id);
                s.expr.scale = r.f64();
                s.expr.offset = r.f64();
                symbols.push_back(std::move(s));
            }
            if (symbols.empty()) r.fail("a symbolic gate without symbols");
        }
        g = make_symbolic_gate(GateKind(kind), QubitList(qubits), std::move(params),
                               std::move(symbols));
    }
    if (!controls.empty()) {
        if (g.kind == GateKind::BARRIER) r.fail("a barrier with controls");
        g = g.controlled(controls);
    }
    return dagger ? g.daggered() : g;
}

// Every distinct item list under `root`, each after the lists its blocks refer to; `root`
// comes last. Iterative: nesting may be deep.
std::vector<const ItemList*> bodies_in_order(const ItemList& root,
                                             std::unordered_map<const ItemList*, uint32_t>& index) {
    std::vector<const ItemList*> order;
    std::vector<std::pair<const ItemList*, size_t>> stack{{&root, 0}};
    while (!stack.empty()) {
        auto& [list, next] = stack.back();
        if (next < list->size()) {
            const Item& item = (*list)[next++];
            if (const Block* b = std::get_if<Block>(&item.value)) {
                if (!index.contains(b->body.get())) stack.emplace_back(b->body.get(), 0);
            }
            continue;
        }
        index.emplace(list, uint32_t(order.size()));
        order.push_back(list);
        stack.pop_back();
    }
    return order;
}

void write_circuit(Writer& w, const Circuit& circuit) {
    // A circuit of gates alone (most of a batch's) needs no index of its blocks.
    const ItemList& items = circuit.items();
    if (std::all_of(items.begin(), items.end(),
                    [](const Item& item) { return std::holds_alternative<Gate>(item.value); })) {
        w.u32(1);
        w.u32(uint32_t(items.size()));
        for (const Item& item : items) {
            w.u8(0);
            write_gate(w, std::get<Gate>(item.value));
        }
        return;
    }
    std::unordered_map<const ItemList*, uint32_t> index;
    const std::vector<const ItemList*> order = bodies_in_order(items, index);
    w.u32(uint32_t(order.size()));
    for (const ItemList* list : order) {
        w.u32(uint32_t(list->size()));
        for (const Item& item : *list) {
            if (const Gate* g = std::get_if<Gate>(&item.value)) {
                w.u8(0);
                write_gate(w, *g);
            } else {
                const Block& b = std::get<Block>(item.value);
                w.u8(1);
                w.u32(index.at(b.body.get()));
                w.ints(b.controls);
                w.u8(b.dagger);
            }
        }
    }
}

Circuit read_circuit(Reader& r) {
    const size_t n = r.count(4);
    if (n == 0) r.fail("no circuit");
    std::vector<Circuit> bodies;
    bodies.reserve(n);
    // A controlled or inverted block appended many times is checked and wrapped once, and
    // every copy shares the result, as when it was built.
    std::map<std::tuple<uint32_t, std::vector<int>, bool>, Circuit> wrapped;
    for (size_t b = 0; b < n; ++b) {
        Circuit body;
        for (size_t k = r.count(1); k > 0; --k) {
            const uint8_t tag = r.u8();
            if (tag == 0) {
                body.append(read_gate(r));
                continue;
            }
            if (tag != 1) r.fail("unknown item");
            const uint32_t inner = r.u32();
            if (inner >= b) r.fail("a block refers to a later part");
            std::vector<int> controls = r.ints();
            const bool dagger = r.flag();
            if (controls.empty() && !dagger) {
                body.append(bodies[inner]);
                continue;
            }
            auto key = std::make_tuple(inner, std::move(controls), dagger);
            auto it = wrapped.find(key);
            if (it == wrapped.end()) {
                Circuit c = bodies[inner].controlled(std::get<1>(key));
                it = wrapped.emplace(std::move(key), dagger ? c.daggered() : c).first;
            }
            body.append(it->second);
        }
        bodies.push_back(std::move(body));
    }
    return bodies.back();
}

// The width byte's top bit marks a single-precision state, whose amplitudes follow as
// floats: double states keep their bytes exactly.
constexpr uint8_t kSingleStateBit = 0x80;

void write_state(Writer& w, const StateVector& s) {
    w.u8(uint8_t(s.num_qubits() | (s.single() ? kSingleStateBit : 0)));
    if (s.single()) {
        const cfloat* a = s.single_data();
        for (uint64_t i = 0; i < s.size(); ++i) {
            w.f32(a[i].real());
            w.f32(a[i].imag());
        }
        return;
    }
    const cplx* a = s.data();
    for (uint64_t i = 0; i < s.size(); ++i) {
        w.f64(a[i].real());
        w.f64(a[i].imag());
    }
}

StateVector read_state(Reader& r) {
    const int head = r.u8();
    const int n = head & ~kSingleStateBit;
    if (n > 50) r.fail("too many qubits");
    const uint64_t size = uint64_t{1} << n;
    if (head & kSingleStateBit) {
        r.need(8 * size);
        std::vector<cfloat> amps(size);
        for (cfloat& a : amps) {
            const float re = r.f32();
            a = cfloat(re, r.f32());
        }
        return StateVector::from_amplitudes(std::span<const cfloat>(amps));
    }
    r.need(16 * size);
    std::vector<cplx> amps(size);
    for (cplx& a : amps) {
        const double re = r.f64();
        a = cplx(re, r.f64());
    }
    return StateVector::from_amplitudes(amps);
}

// A string is its tag, the format and one object: written whole, and read to its last byte.
template <class Write>
std::string encoded(char tag, Write write) {
    Writer w(tag);
    write(w);
    return w.take();
}

template <class Read>
auto decoded(std::string_view bytes, char tag, const char* what, Read read) {
    Reader r(bytes, tag, what);
    auto value = read(r);
    r.finish();
    return value;
}

}  // namespace

std::string encode_gate(const Gate& gate) {
    return encoded('G', [&](Writer& w) { write_gate(w, gate); });
}

Gate decode_gate(std::string_view bytes) { return decoded(bytes, 'G', "gate", read_gate); }

std::string encode_circuit(const Circuit& circuit) {
    return encoded('C', [&](Writer& w) { write_circuit(w, circuit); });
}

Circuit decode_circuit(std::string_view bytes) {
    return decoded(bytes, 'C', "circuit", read_circuit);
}

namespace {

void write_program(Writer& w, const Program& program) {
    w.u32(uint32_t(program.declared_qubits));
    write_circuit(w, program.circuit);
}

Program read_program(Reader& r) {
    const uint32_t declared = r.u32();
    if (declared > uint32_t(INT32_MAX)) r.fail("too many qubits");
    return Program{read_circuit(r), int(declared)};
}

}  // namespace

std::string encode_program(const Program& program) {
    return encoded('P', [&](Writer& w) { write_program(w, program); });
}

Program decode_program(std::string_view bytes) {
    return decoded(bytes, 'P', "program", read_program);
}

}  // namespace kestrix

namespace kestrix {

// Result's fields are private to the simulator that fills them; this reads and rebuilds
// them whole, checking that they agree with each other.
struct ResultCodec {
    static std::string encode(const Result& r) {
        Writer w('R', r.memory_ ? kResultMemoryFormat : kFormat);
        write(w, r);
        if (r.memory_) write_memory(w, *r.memory_);
        return w.take();
    }

    static Result decode(std::string_view bytes) {
        Reader in(bytes, 'R', "result", kResultMemoryFormat);
        Result r = read(in);
        if (in.format() == kResultMemoryFormat) r.memory_ = read_memory(in, r);
        in.finish();
        return r;
    }

    static void write_memory(Writer& w, const std::vector<uint32_t>& memory) {
        w.u64(memory.size());
        for (uint32_t k : memory) w.u32(k);
    }

    // Each shot names an entry of the counts, and the shots tally to the counts.
    static std::vector<uint32_t> read_memory(Reader& in, const Result& r) {
        const uint64_t n = in.u64();
        if (n != (r.measured() ? r.shots_ : 0) || n > Simulator::kMaxMemoryShots)
            in.fail("a memory of the wrong length");
        in.need(4 * n);
        std::vector<uint32_t> memory(n);
        std::vector<uint64_t> tally(r.counts_.size(), 0);
        for (uint32_t& k : memory) {
            k = in.u32();
            if (k >= r.counts_.size()) in.fail("a shot outside the counts");
            ++tally[k];
        }
        for (size_t k = 0; k < tally.size(); ++k)
            if (tally[k] != r.counts_[k].second) in.fail("the memory and the counts disagree");
        return memory;
    }

    static void write(Writer& w, const Result& r) {
        w.i32(r.num_qubits_);
        w.u64(r.shots_);
        w.ints(r.cbits_);
        w.ints(r.cbit_qubit_);
        w.u32(uint32_t(r.counts_.size()));
        const size_t words = (r.cbits_.size() + 63) / 64;
        for (const auto& [outcome, count] : r.counts_) {
            for (size_t k = 0; k < words; ++k) w.u64(outcome.word(k));
            w.u64(count);
        }
        // Bit 1 marks a single-precision run (its state, if any, says so too).
        w.u8(uint8_t(r.state_.has_value()) | (r.precision_ == Precision::Single ? 2 : 0));
        if (r.state_) write_state(w, *r.state_);
        w.u32(uint32_t(r.mean_probs_.size()));
        for (double p : r.mean_probs_) w.f64(p);
    }

    static Result read(Reader& in) {
        Result r;
        r.num_qubits_ = in.i32();
        if (r.num_qubits_ < 0 || r.num_qubits_ > 50) in.fail("bad number of qubits");
        r.shots_ = in.u64();
        if (r.shots_ == 0) in.fail("no shots");
        r.cbits_ = in.ints();
        r.cbit_qubit_ = in.ints();
        if (r.cbits_.size() != r.cbit_qubit_.size() || r.cbits_.size() > size_t(kMaxQubits))
            in.fail("classical bits and their qubits disagree");
        for (size_t j = 0; j < r.cbits_.size(); ++j) {
            if (r.cbits_[j] < 0 || (j > 0 && r.cbits_[j] <= r.cbits_[j - 1]))
                in.fail("classical bits out of order");
            if (r.cbit_qubit_[j] < 0 || r.cbit_qubit_[j] >= r.num_qubits_)
                in.fail("a classical bit holds a qubit outside the program");
        }
        uint64_t total = 0;
        const size_t words = (r.cbits_.size() + 63) / 64;
        for (size_t k = in.count(8 * (words + 1)); k > 0; --k) {
            Outcome outcome;
            for (size_t w = 0; w < words; ++w) outcome.set_word(w, in.u64());
            const uint64_t count = in.u64();
            if (outcome.bit_width() > r.cbits_.size() || count == 0 || count > r.shots_ - total ||
                (!r.counts_.empty() && outcome <= r.counts_.back().first))
                in.fail("bad shot counts");
            total += count;
            r.counts_.emplace_back(std::move(outcome), count);
        }
        if (r.measured() && total != r.shots_) in.fail("shot counts do not add up");
        const uint8_t state_flags = in.u8();
        if (state_flags > 3) in.fail("a flag is neither 0 nor 1");
        if (state_flags & 2) r.precision_ = Precision::Single;
        if (state_flags & 1) {
            r.state_.emplace(read_state(in));
            if (r.state_->num_qubits() != r.num_qubits_) in.fail("a state of the wrong width");
            if (r.state_->precision() != r.precision_) in.fail("a state of the wrong precision");
        }
        r.mean_probs_.resize(in.count(8));
        for (double& p : r.mean_probs_) {
            p = in.f64();
            if (!(p >= 0 && p <= 1 + 1e-9)) in.fail("a probability outside [0, 1]");
        }
        const bool averaged = r.mean_probs_.size() == (uint64_t{1} << r.num_qubits_);
        if (r.state_ ? !r.mean_probs_.empty() : !averaged)
            in.fail("neither a final state nor probabilities");
        return r;
    }
};

std::string encode_state(const StateVector& state) {
    return encoded('S', [&](Writer& w) { write_state(w, state); });
}

StateVector decode_state(std::string_view bytes) {
    return decoded(bytes, 'S', "state vector", read_state);
}

std::string encode_result(const Result& result) { return ResultCodec::encode(result); }
Result decode_result(std::string_view bytes) { return ResultCodec::decode(bytes); }

std::string encode_pauli_sum(const PauliSum& observable) {
    Writer w('Q');
    w.u32(uint32_t(observable.num_qubits));
    w.u32(uint32_t(observable.terms.size()));
    for (const PauliTerm& t : observable.terms) {
        w.u64(t.pauli.x);
        w.u64(t.pauli.z);
        w.f64(t.coefficient);
    }
    return w.take();
}

PauliSum decode_pauli_sum(std::string_view bytes) {
    Reader r(bytes, 'Q', "Pauli sum");
    PauliSum out;
    const uint32_t n = r.u32();
    if (n > uint32_t(kMaxPauliQubits)) r.fail("too many qubits");
    out.num_qubits = int(n);
    out.terms.resize(r.count(24));
    for (PauliTerm& t : out.terms) {
        t.pauli.x = r.u64();
        t.pauli.z = r.u64();
        t.coefficient = r.f64();
        if (t.pauli.width() > out.num_qubits) r.fail("a term wider than the observable");
        if (!std::isfinite(t.coefficient)) r.fail("a coefficient that is not finite");
    }
    r.finish();
    return out;
}

std::string encode_batch_request(const BatchSettings& settings, std::span<const Program> programs,
                                 std::span<const uint64_t> seeds) {
    if (seeds.size() != programs.size()) throw ValueError("a batch needs one seed per program");
    Writer w('B');
    w.text(settings.version);
    w.u8(settings.probabilities);
    w.u64(settings.shots);
    w.u8(settings.qubits.has_value());
    if (settings.qubits) w.ints(*settings.qubits);
    w.u32(uint32_t(programs.size()));
    for (size_t k = 0; k < programs.size(); ++k) {
        w.u64(seeds[k]);
        write_program(w, programs[k]);
    }
    return w.take();
}

BatchRequest decode_batch_request(std::string_view bytes) {
    Reader r(bytes, 'B', "batch");
    BatchRequest out;
    out.settings.version = std::string(r.text());
    out.settings.probabilities = r.flag();
    out.settings.shots = r.u64();
    if (out.settings.shots == 0) r.fail("no shots");
    if (r.flag()) out.settings.qubits = r.ints();
    for (size_t k = r.count(16); k > 0; --k) {
        out.seeds.push_back(r.u64());
        out.programs.push_back(read_program(r));
    }
    r.finish();
    return out;
}

std::string encode_batch_results(std::span<const Result> results) {
    Writer w('b');
    w.u32(uint32_t(results.size()));
    for (const Result& result : results) ResultCodec::write(w, result);
    return w.take();
}

std::vector<Result> decode_batch_results(std::string_view bytes) {
    Reader r(bytes, 'b', "batch of results");
    std::vector<Result> out;
    for (size_t k = r.count(16); k > 0; --k) out.push_back(ResultCodec::read(r));
    r.finish();
    return out;
}

std::string encode_batch_rows(const std::vector<std::vector<double>>& rows) {
    Writer w('r');
    w.u32(uint32_t(rows.size()));
    for (const std::vector<double>& row : rows) {
        w.u32(uint32_t(row.size()));
        for (double p : row) w.f64(p);
    }
    return w.take();
}

std::vector<std::vector<double>> decode_batch_rows(std::string_view bytes) {
    Reader r(bytes, 'r', "batch of probabilities");
    std::vector<std::vector<double>> out(r.count(4));
    for (std::vector<double>& row : out) {
        row.resize(r.count(8));
        for (double& p : row) p = r.f64();
    }
    r.finish();
    return out;
}

}  // namespace kestrix
