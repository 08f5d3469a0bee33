// OpenQASM output (see qasm.h): a flat list of gates, one statement each.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>
#include <optional>
#include <vector>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/io/gate_text.h"
#include "kestrix/lib/io/number_text.h"
#include "kestrix/lib/io/qasm.h"

namespace kestrix {

namespace {

constexpr double kPi = std::numbers::pi;

// A multiple of pi where the angle is exactly k*pi/d (read back as (k*pi)/d, the same
// double); else the shortest decimal, with a point before any exponent, which OpenQASM 2
// reals need.
std::string angle(double x) {
    for (int d : {1, 2, 3, 4, 6, 8, 12, 16}) {
        const double k = std::round(x * d / kPi);
        if (k == 0 || std::abs(k) > 64 || (k * kPi) / d != x) continue;
        std::string out = k == 1 ? "pi" : k == -1 ? "-pi" : std::to_string(int(k)) + "*pi";
        return d == 1 ? out : out + "/" + std::to_string(d);
    }
    std::string text = shortest_text(x);
    const size_t e = text.find('e');
    if (e != std::string::npos && text.find('.') == std::string::npos) text.insert(e, ".0");
    return text;
}

std::string call(const std::string& name, const std::vector<std::string>& params) {
    if (params.empty()) return name;
    std::string out = name + "(";
    for (size_t k = 0; k < params.size(); ++k) out += (k ? ", " : "") + params[k];
    return out + ")";
}

std::string call(const std::string& name, const std::vector<double>& params) {
    std::vector<std::string> texts;
    for (double p : params) texts.push_back(angle(p));
    return call(name, texts);
}

// OpenQASM identifiers for the circuit's parameters, one each, in order: a name that is
// not one ("t[0]") has its other characters turned to '_', and a name taken twice (two
// parameters may share a name) gets a suffix.
std::vector<std::pair<uint64_t, std::string>> qasm_parameter_names(
    const std::vector<Parameter>& parameters) {
    std::vector<std::pair<uint64_t, std::string>> out;
    auto taken = [&](const std::string& name) {
        return name == "q" || name == "c" || name == "pi" ||
               std::any_of(out.begin(), out.end(), [&](const auto& e) { return e.second == name; });
    };
    for (const Parameter& p : parameters) {
        std::string name;
        for (char ch : p->name) {
            const bool word = std::isalnum(static_cast<unsigned char>(ch)) || ch == '_';
            if (word)
                name += ch;
            else if (!name.empty() && name.back() != '_')
                name += '_';
        }
        while (!name.empty() && name.back() == '_') name.pop_back();
        if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) name = "p_" + name;
        std::string unique = name;
        for (int k = 1; taken(unique); ++k) unique = name + "_" + std::to_string(k);
        out.emplace_back(p->id, unique);
    }
    return out;
}

std::string operands(const std::vector<int>& qubits) {
    std::string out;
    for (size_t k = 0; k < qubits.size(); ++k)
        out += (k ? ", q[" : " q[") + std::to_string(qubits[k]) + "]";
    return out + ";\n";
}

// stdgates.inc names; U2, U3 and U1 under control become U(...) and p(...), whose
// matrices are fixed by the language rather than by a library's choice of global phase.
std::string qasm3_statement(const Gate& g,
                            const std::vector<std::pair<uint64_t, std::string>>& names) {
    const bool controlled = !g.controls.empty();
    std::vector<std::string> params;
    for (size_t k = 0; k < g.params.size(); ++k) params.push_back(angle(g.params[k]));
    if (g.symbols) {
        for (const Symbol& s : *g.symbols) {
            ParamExpr e = s.expr;
            for (const auto& [id, name] : names)
                if (id == e.param->id) e.param = make_parameter(name, id);
            params[s.slot] = expr_text(e);
        }
    }
    std::string name;
    bool inverse = g.dagger;
    switch (g.kind) {
        case GateKind::I: name = "id"; break;
        case GateKind::H: name = "h"; break;
        case GateKind::X: name = "x"; break;
        case GateKind::Y: name = "y"; break;
        case GateKind::Z: name = "z"; break;
        case GateKind::S: name = g.dagger ? "sdg" : "s", inverse = false; break;
        case GateKind::T: name = g.dagger ? "tdg" : "t", inverse = false; break;
        case GateKind::SX: name = "sx"; break;
        case GateKind::RX: name = "rx"; break;
        case GateKind::RY: name = "ry"; break;
        case GateKind::RZ: name = "rz"; break;
        case GateKind::U1: name = controlled ? "p" : "u1"; break;
        case GateKind::U2:
            name = controlled ? "U" : "u2";
            if (controlled) params.insert(params.begin(), "pi/2");
            break;
        case GateKind::U3: name = controlled ? "U" : "u3"; break;
        case GateKind::CNOT: name = "cx"; break;
        case GateKind::CZ: name = "cz"; break;
        case GateKind::CR: name = "cp"; break;
        case GateKind::SWAP: name = "swap"; break;
        case GateKind::TOFFOLI: name = "ccx"; break;
        default:
            throw ValueError("OpenQASM 3 cannot write " + gate_text(g) +
                             ": it has no exact OpenQASM form");
    }
    std::string out;
    if (controlled) {
        out += g.controls.size() == 1 ? "ctrl @ "
                                      : "ctrl(" + std::to_string(g.controls.size()) + ") @ ";
    }
    if (inverse) out += "inv @ ";
    std::vector<int> qubits(g.controls.begin(), g.controls.end());
    qubits.insert(qubits.end(), g.qubits.begin(), g.qubits.end());
    return out + call(name, params) + operands(qubits);
}

struct Qasm2Call {
    std::string name;
    std::vector<double> params;
    std::vector<int> qubits;
};

// The qelib1.inc gate that is exactly `g`, if there is one.
std::optional<Qasm2Call> qasm2_call(const Gate& g) {
    const double sign = g.dagger ? -1 : 1;
    const std::vector<double> p(g.params.begin(), g.params.end());
    std::vector<int> qubits(g.controls.begin(), g.controls.end());
    qubits.insert(qubits.end(), g.qubits.begin(), g.qubits.end());
    auto make = [&](std::string name, std::vector<double> params = {}) {
        return Qasm2Call{std::move(name), std::move(params), qubits};
    };
    // The inverse of U3(θ, φ, λ) is U3(-θ, -λ, -φ) exactly.
    auto u3_params = [&](double theta, double phi, double lam) {
        return g.dagger ? std::vector<double>{-theta, -lam, -phi}
                        : std::vector<double>{theta, phi, lam};
    };
    if (g.controls.empty()) {
        switch (g.kind) {
            case GateKind::I: return make("id");
            case GateKind::H: return make("h");
            case GateKind::X: return make("x");
            case GateKind::Y: return make("y");
            case GateKind::Z: return make("z");
            case GateKind::S: return make(g.dagger ? "sdg" : "s");
            case GateKind::T: return make(g.dagger ? "tdg" : "t");
            case GateKind::RX: return make("rx", {sign * p[0]});
            case GateKind::RY: return make("ry", {sign * p[0]});
            case GateKind::RZ: return make("rz", {sign * p[0]});
            case GateKind::U1: return make("u1", {sign * p[0]});
            case GateKind::U2:
                return g.dagger ? make("u3", u3_params(kPi / 2, p[0], p[1])) : make("u2", p);
            case GateKind::U3: return make("u3", u3_params(p[0], p[1], p[2]));
            case GateKind::CNOT: return make("cx");
            case GateKind::CZ: return make("cz");
            case GateKind::CR: return make("cu1", {sign * p[0]});
            case GateKind::SWAP: return make("swap");
            case GateKind::TOFFOLI: return make("ccx");
            default: return std::nullopt;
        }
    }
    if (g.controls.size() == 1) {
        switch (g.kind) {
            case GateKind::X: return make("cx");
            case GateKind::Y: return make("cy");
            case GateKind::Z: return make("cz");
            case GateKind::H: return make("ch");
            case GateKind::S: return make("cu1", {sign * kPi / 2});
            case GateKind::T: return make("cu1", {sign * kPi / 4});
            case GateKind::RZ: return make("crz", {sign * p[0]});
            case GateKind::U1: return make("cu1", {sign * p[0]});
            case GateKind::U2: return make("cu3", u3_params(kPi / 2, p[0], p[1]));
            case GateKind::U3: return make("cu3", u3_params(p[0], p[1], p[2]));
            case GateKind::CNOT: return make("ccx");
            case GateKind::SWAP: return make("cswap");
            default: return std::nullopt;
        }
    }
    if (g.controls.size() == 2 && g.kind == GateKind::X) return make("ccx");
    return std::nullopt;
}

constexpr const char* kSwap = "gate swap a, b { cx a, b; cx b, a; cx a, b; }\n";
constexpr const char* kCswap = "gate cswap a, b, c { cx c, b; ccx a, b, c; cx c, b; }\n";

}  // namespace

std::string to_qasm(const Program& program, int version, const InterruptCheck& interrupt) {
    if (version != 2 && version != 3)
        throw ValueError("OpenQASM version must be 2 or 3, got " + std::to_string(version));
    // A statement is some twenty characters at least.
    check_memory(20.0 * double(program.circuit.gate_count()),
                 "the OpenQASM text of " + std::to_string(program.circuit.gate_count()) + " gates");
    const int width = program.width();
    int cbits = 0;
    bool swap = false, cswap = false;
    std::string body;
    size_t index = 0;
    const std::vector<Parameter>& parameters = program.circuit.parameters();
    if (version == 2 && !parameters.empty()) {
        throw ValueError("OpenQASM 2 has no parameters, and this circuit waits for " +
                         std::to_string(parameters.size()) +
                         ": bind them first, or write OpenQASM 3");
    }
    const auto names = qasm_parameter_names(parameters);
    program.circuit.for_each_gate([&](const Gate& g) {
        if (index % 65536 == 65535 && interrupt && interrupt()) throw Interrupted();
        if (g.kind == GateKind::MEASURE) {
            cbits = std::max(cbits, g.cbit + 1);
            const std::string q = "q[" + std::to_string(g.qubits[0]) + "]";
            const std::string c = "c[" + std::to_string(g.cbit) + "]";
            body +=
                version == 3 ? c + " = measure " + q + ";\n" : "measure " + q + " -> " + c + ";\n";
        } else if (g.kind == GateKind::BARRIER) {
            body += "barrier" + operands(std::vector<int>(g.qubits.begin(), g.qubits.end()));
        } else if (version == 3) {
            body += qasm3_statement(g, names);
        } else if (auto c = qasm2_call(g)) {
            swap = swap || c->name == "swap";
            cswap = cswap || c->name == "cswap";
            body += call(c->name, c->params) + operands(c->qubits);
        } else {
            throw ValueError("OpenQASM 2 cannot write the gate at index " + std::to_string(index) +
                             ", " + gate_text(g) +
                             ": qelib1.inc has no gate that is exactly it; version 3 writes "
                             "every circuit");
        }
        ++index;
    });
    std::string out = version == 3 ? "OPENQASM 3.0;\ninclude \"stdgates.inc\";\n"
                                   : "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n";
    if (swap || cswap) out += kSwap;
    if (cswap) out += kCswap;
    if (width > 0)
        out += version == 3 ? "qubit[" + std::to_string(width) + "] q;\n"
                            : "qreg q[" + std::to_string(width) + "];\n";
    for (const auto& [id, name] : names) out += "input float[64] " + name + ";\n";
    if (cbits > 0)
        out += version == 3 ? "bit[" + std::to_string(cbits) + "] c;\n"
                            : "creg c[" + std::to_string(cbits) + "];\n";
    return out + body;
}

}  // namespace kestrix
