// OpenQASM input (see qasm.h): tokens, expressions, gate definitions, then statements that
// append gates to one program. Gate names mean the SDK's gates of the same matrix, as
// other tools read them; definitions in the file are expanded, their gphase kept where a
// control makes it observable.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <numbers>
#include <optional>
#include <vector>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/io/qasm.h"
#include "kestrix/lib/ir/parameter.h"

namespace kestrix {

namespace {

constexpr double kPi = std::numbers::pi;
// A hostile file can define gates that double at every level; stop well before memory runs
// out (a gate takes about 130 bytes while a call expands).
constexpr size_t kMaxGates = size_t{1} << 21;
// Parentheses, function calls, powers and gate definitions nest at most this deep: the
// reader walks them by recursion, and hostile text must not exhaust the stack.
constexpr int kMaxNesting = 100;
// Expansion polls for Ctrl-C after this many gates (a few milliseconds).
constexpr uint64_t kPollGates = uint64_t{1} << 14;

// ---------------------------------------------------------------------------------------
// Tokens

enum class Tok { Ident, Number, String, Symbol, End };

struct Token {
    Tok kind;
    std::string text;
    int line;
};

[[noreturn]] void fail(int line, const std::string& why) {
    throw ValueError("OpenQASM line " + std::to_string(line) + ": " + why);
}

bool ident_start(unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; }
bool ident_char(unsigned char c) { return ident_start(c) || std::isdigit(c); }

std::vector<Token> tokenize(std::string_view s) {
    std::vector<Token> out;
    int line = 1;
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = s[i];
        if (c == '\n') ++line;
        if (std::isspace(c)) {
            ++i;
        } else if (s.substr(i, 2) == "//") {
            while (i < s.size() && s[i] != '\n') ++i;
        } else if (s.substr(i, 2) == "/*") {
            const size_t end = s.find("*/", i + 2);
            if (end == std::string_view::npos) fail(line, "a comment is not closed");
            for (size_t k = i; k < end; ++k) line += s[k] == '\n';
            i = end + 2;
        } else if (ident_start(c)) {
            const size_t start = i;
            while (i < s.size() && ident_char(s[i])) ++i;
            out.push_back({Tok::Ident, std::string(s.substr(start, i - start)), line});
        } else if (std::isdigit(c) || (c == '.' && i + 1 < s.size() && std::isdigit(s[i + 1]))) {
            const size_t start = i;
            while (i < s.size() && (std::isdigit(s[i]) || s[i] == '.')) ++i;
            if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
                ++i;
                if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
                while (i < s.size() && std::isdigit(s[i])) ++i;
            }
            out.push_back({Tok::Number, std::string(s.substr(start, i - start)), line});
        } else if (c == '"') {
            const size_t end = s.find('"', i + 1);
            if (end == std::string_view::npos) fail(line, "a string is not closed");
            out.push_back({Tok::String, std::string(s.substr(i + 1, end - i - 1)), line});
            i = end + 1;
        } else {
            static const char* pairs[] = {"->", "**", "==", "!=", "<=", ">=", "&&", "||", "++"};
            std::string text(1, char(c));
            for (const char* p : pairs)
                if (s.substr(i, 2) == p) text = p;
            i += text.size();
            out.push_back({Tok::Symbol, text, line});
        }
    }
    out.push_back({Tok::End, "", line});
    return out;
}

// ---------------------------------------------------------------------------------------
// Expressions: numbers, pi/tau/euler, gate parameters, + - * / ^ **, functions.

// A sum or product is one node over all its terms, so a long one is walked by a loop and
// only nesting (parentheses, functions, powers) deepens the tree.
struct Expr;
using ExprPtr = std::unique_ptr<Expr>;
struct Expr {
    enum Kind { Number, Param, Input, Negate, Chain, Power, Function } kind = Number;
    double value = 0;
    size_t param = 0;  ///< Param: the definition's parameter
    Parameter input;   ///< Input: the program's input
    std::string function;
    ExprPtr a, b;                                 ///< Negate, Function: a; Power: a ^ b
    std::vector<std::pair<char, ExprPtr>> terms;  ///< Chain: the first op is ignored
};

// An angle: scale * input + offset, where the program declares the input; a number when
// it reads no input (input < 0). Gates keep such angles as parameter expressions.
struct Angle {
    double offset = 0;
    double scale = 0;
    Parameter input;
    bool is_number() const { return !input || scale == 0; }
};

Angle number_angle(double v) { return Angle{v, 0, nullptr}; }

[[noreturn]] void not_affine(int line) {
    fail(line, "an angle may only be a * input + b, with one input and numbers a and b");
}

Angle combine(char op, Angle x, const Angle& y, int line) {
    switch (op) {
        case '+':
        case '-': {
            const double sign = op == '+' ? 1 : -1;
            if (!x.is_number() && !y.is_number() && x.input != y.input) not_affine(line);
            if (x.is_number()) x.input = y.input;
            if (y.is_number() && x.is_number()) x.input = nullptr;
            x.offset += sign * y.offset;
            x.scale += sign * y.scale;
            return x;
        }
        case '*': {
            if (!x.is_number() && !y.is_number()) not_affine(line);
            const Angle& a = x.is_number() ? y : x;  // the factor that may read an input
            const double k = x.is_number() ? x.offset : y.offset;
            return Angle{a.offset * k, a.scale * k, a.input};
        }
        default:
            if (!y.is_number()) not_affine(line);
            return Angle{x.offset / y.offset, x.scale / y.offset, x.input};
    }
}

Angle evaluate(const Expr& e, const std::vector<Angle>& params, int line);

// A subexpression that must be a number: a power, a function's argument.
double number(const Expr& e, const std::vector<Angle>& params, int line) {
    const Angle a = evaluate(e, params, line);
    if (!a.is_number()) not_affine(line);
    return a.offset;
}

Angle evaluate(const Expr& e, const std::vector<Angle>& params, int line) {
    switch (e.kind) {
        case Expr::Number: return number_angle(e.value);
        case Expr::Param: return params[e.param];
        case Expr::Input: return Angle{0, 1, e.input};
        case Expr::Negate: {
            const Angle a = evaluate(*e.a, params, line);
            return Angle{-a.offset, -a.scale, a.input};
        }
        case Expr::Chain: {
            Angle x = evaluate(*e.terms.front().second, params, line);
            for (size_t k = 1; k < e.terms.size(); ++k)
                x = combine(e.terms[k].first, x, evaluate(*e.terms[k].second, params, line), line);
            return x;
        }
        case Expr::Power:
            return number_angle(std::pow(number(*e.a, params, line), number(*e.b, params, line)));
        case Expr::Function: {
            static const std::map<std::string, double (*)(double)> functions = {
                {"sin", [](double x) { return std::sin(x); }},
                {"cos", [](double x) { return std::cos(x); }},
                {"tan", [](double x) { return std::tan(x); }},
                {"exp", [](double x) { return std::exp(x); }},
                {"ln", [](double x) { return std::log(x); }},
                {"log", [](double x) { return std::log(x); }},
                {"sqrt", [](double x) { return std::sqrt(x); }},
                {"arcsin", [](double x) { return std::asin(x); }},
                {"arccos", [](double x) { return std::acos(x); }},
                {"arctan", [](double x) { return std::atan(x); }},
            };
            return number_angle(functions.at(e.function)(number(*e.a, params, line)));
        }
    }
    return {};
}

// ---------------------------------------------------------------------------------------
// Gate calls and definitions

struct Modifier {
    enum Kind { Ctrl, NegCtrl, Inv, Pow } kind = Ctrl;
    int count = 1;     ///< qubits a ctrl or negctrl takes
    ExprPtr exponent;  ///< pow
};

/// One call: modifiers, a gate name, parameter expressions and qubit operands (indices into
/// the caller's qubits: the program's, or a definition's formal qubits).
struct CallSite {
    std::vector<Modifier> modifiers;
    std::string name;
    std::vector<ExprPtr> params;
    std::vector<std::vector<int>> operands;  ///< each operand: one qubit, or a register
    int line = 0;
};

struct Definition {
    size_t params = 0, qubits = 0;
    bool opaque = false;
    std::vector<CallSite> body;
    int depth = 1;  ///< definitions nested in a call, this one included
    /// Gates a call expands to, past kMaxGates counted as kMaxGates + 1; unknown when a
    /// pow exponent depends on parameters.
    std::optional<size_t> gates;
};

// a * b and a + b, held at kMaxGates + 1 once past kMaxGates.
size_t capped(double value) { return value > double(kMaxGates) ? kMaxGates + 1 : size_t(value); }

bool uses_parameters(const Expr& e) {
    if (e.kind == Expr::Param) return true;
    for (const auto& [op, term] : e.terms)
        if (uses_parameters(*term)) return true;
    return (e.a && uses_parameters(*e.a)) || (e.b && uses_parameters(*e.b));
}

/// Gates emitted by one call, and the phase on the whole of them, observable once a
/// control turns it into a phase gate.
struct Emitted {
    std::vector<Gate> gates;
    double phase = 0;
};

[[noreturn]] void too_many_gates(int line) {
    fail(line, "the program expands to more than 2**21 gates");
}

Emitted inverted(Emitted e) {
    std::reverse(e.gates.begin(), e.gates.end());
    for (Gate& g : e.gates) g = g.daggered();
    e.phase = -e.phase;
    return e;
}

// The gates that qelib1.inc and stdgates.inc name, as SDK gates: (params, qubits) -> gates.
struct Builtin {
    size_t params, qubits;
    std::function<Emitted(const std::vector<Angle>&, const std::vector<int>&)> make;
};

Emitted one(Gate g) { return Emitted{{std::move(g)}, 0}; }

// The gate with these angles: those that read an input become its parameter expressions.
Gate angled_gate(GateKind kind, QubitList qubits, const std::vector<Angle>& angles) {
    std::vector<double> params;
    SymbolList symbols;
    for (size_t k = 0; k < angles.size(); ++k) {
        params.push_back(angles[k].offset);
        if (!angles[k].is_number())
            symbols.push_back(
                Symbol{int(k), ParamExpr{angles[k].input, angles[k].scale, angles[k].offset}});
    }
    if (symbols.empty()) return make_gate(kind, std::move(qubits), ParamList(params));
    return make_symbolic_gate(kind, std::move(qubits), ParamList(params), std::move(symbols));
}

Builtin simple(GateKind kind, size_t controls = 0, bool dagger = false) {
    const size_t qubits = size_t(gate_arity(kind)) + controls;
    return {size_t(gate_param_count(kind)), qubits,
            [=](const std::vector<Angle>& p, const std::vector<int>& q) {
                Gate g = angled_gate(kind,
                                     QubitList(std::vector<int>(q.begin() + controls, q.end())), p);
                if (controls) g = g.controlled(std::vector<int>(q.begin(), q.begin() + controls));
                return one(dagger ? g.daggered() : g);
            }};
}

const std::map<std::string, Builtin>& builtins() {
    static const auto* table = new std::map<std::string, Builtin>{
        {"U", simple(GateKind::U3)},
        {"CX", simple(GateKind::CNOT)},
        {"u3", simple(GateKind::U3)},
        {"u", simple(GateKind::U3)},
        {"u2", simple(GateKind::U2)},
        {"u1", simple(GateKind::U1)},
        {"p", simple(GateKind::U1)},
        {"phase", simple(GateKind::U1)},
        {"u0", {1, 1, [](auto&, auto& q) { return one(make_gate(GateKind::I, {q[0]})); }}},
        {"id", simple(GateKind::I)},
        {"x", simple(GateKind::X)},
        {"y", simple(GateKind::Y)},
        {"z", simple(GateKind::Z)},
        {"h", simple(GateKind::H)},
        {"s", simple(GateKind::S)},
        {"sdg", simple(GateKind::S, 0, true)},
        {"t", simple(GateKind::T)},
        {"tdg", simple(GateKind::T, 0, true)},
        {"sx", simple(GateKind::SX)},
        {"sxdg", simple(GateKind::SX, 0, true)},
        {"rx", simple(GateKind::RX)},
        {"ry", simple(GateKind::RY)},
        {"rz", simple(GateKind::RZ)},
        {"cx", simple(GateKind::CNOT)},
        {"cy", simple(GateKind::Y, 1)},
        {"cz", simple(GateKind::CZ)},
        {"ch", simple(GateKind::H, 1)},
        {"cp", simple(GateKind::CR)},
        {"cu1", simple(GateKind::CR)},
        {"cphase", simple(GateKind::CR)},
        {"crx", simple(GateKind::RX, 1)},
        {"cry", simple(GateKind::RY, 1)},
        {"crz", simple(GateKind::RZ, 1)},
        {"cu3", simple(GateKind::U3, 1)},
        {"csx", simple(GateKind::SX, 1)},
        {"swap", simple(GateKind::SWAP)},
        {"ccx", simple(GateKind::TOFFOLI)},
        {"cswap", simple(GateKind::SWAP, 1)},
        {"c3x", simple(GateKind::X, 3)},
        {"c4x", simple(GateKind::X, 4)},
        {"c3sqrtx", simple(GateKind::SX, 3)},
        // cu(θ, φ, λ, γ): e^{iγ} U3(θ, φ, λ) under the control, as Qiskit's CUGate.
        {"cu",
         {4, 2,
          [](auto& p, auto& q) {
              Emitted e = one(angled_gate(GateKind::U1, {q[0]}, {p[3]}));
              e.gates.push_back(
                  angled_gate(GateKind::U3, {q[1]}, {p[0], p[1], p[2]}).controlled({q[0]}));
              return e;
          }}},
        {"delay", {1, 1, [](auto&, auto&) { return Emitted{}; }}},
    };
    return *table;
}

// Library gates best written as definitions: exact forms of rzz and rxx, and the
// relative-phase Toffolis as qelib1.inc defines them.
constexpr const char* kLibrary = R"(
gate rzz(theta) a, b { cx a, b; rz(theta) b; cx a, b; }
gate rxx(theta) a, b { h a; h b; cx a, b; rz(theta) b; cx a, b; h a; h b; }
gate rccx a, b, c {
  u2(0, pi) c; u1(pi/4) c; cx b, c; u1(-pi/4) c; cx a, c; u1(pi/4) c; cx b, c; u1(-pi/4) c;
  u2(0, pi) c;
}
gate rc3x a, b, c, d {
  u2(0, pi) d; u1(pi/4) d; cx c, d; u1(-pi/4) d; u2(0, pi) d; cx a, d; u1(pi/4) d; cx b, d;
  u1(-pi/4) d; cx a, d; u1(pi/4) d; cx b, d; u1(-pi/4) d; u2(0, pi) d; u1(pi/4) d; cx c, d;
  u1(-pi/4) d; u2(0, pi) d;
}
)";

// ---------------------------------------------------------------------------------------
// The reader

struct Register {
    int offset, size;
};

class Reader {
  public:
    Reader(std::string_view text, const InterruptCheck& interrupt)
        : tokens_(tokenize(text)), interrupt_(interrupt), poller_(interrupt) {}

    Program read() {
        if (peek().text == "OPENQASM") {
            next();
            const Token v = next();
            if (v.kind != Tok::Number ||
                (v.text != "2.0" && v.text != "3.0" && v.text != "3" && v.text != "2")) {
                fail(v.line, "unsupported OpenQASM version '" + v.text + "' (2.0 and 3 are read)");
            }
            expect(";");
        }
        while (peek().kind != Tok::End) statement();
        return Program{std::move(circuit_), qubits_};
    }

  private:
    // -- tokens
    const Token& peek(size_t ahead = 0) const {
        return tokens_[std::min(at_ + ahead, tokens_.size() - 1)];
    }
    Token next() {
        Token t = peek();
        if (at_ < tokens_.size() - 1) ++at_;
        return t;
    }
    bool accept(const char* symbol) {
        if (peek().kind != Tok::Symbol || peek().text != symbol) return false;
        next();
        return true;
    }
    void expect(const char* symbol) {
        if (!accept(symbol)) {
            const Token& t = peek();
            fail(t.line, std::string("expected '") + symbol + "', got " +
                             (t.kind == Tok::End ? "the end of the text" : "'" + t.text + "'"));
        }
    }
    std::string identifier() {
        const Token t = next();
        if (t.kind != Tok::Ident) fail(t.line, "expected a name, got '" + t.text + "'");
        return t.text;
    }
    int integer() {
        const Token t = next();
        if (t.kind != Tok::Number || t.text.find_first_not_of("0123456789") != std::string::npos ||
            t.text.size() > 9) {
            fail(t.line, "expected a non-negative integer, got '" + t.text + "'");
        }
        return std::stoi(t.text);
    }

    // One level of nesting while it lives: the reader recurses for each, so a limit keeps
    // hostile text from exhausting the stack.
    class Nested {
      public:
        Nested(Reader& reader, int line) : reader_(reader) {
            if (++reader_.nesting_ > kMaxNesting)
                fail(line, "nested more than " + std::to_string(kMaxNesting) + " levels deep");
        }
        ~Nested() { --reader_.nesting_; }
        Nested(const Nested&) = delete;
        Nested& operator=(const Nested&) = delete;

      private:
        Reader& reader_;
    };

    // -- expressions, with the names of a definition's parameters
    ExprPtr expression(const std::vector<std::string>& names) {
        return chain(names, "+-", [this](const auto& n) { return product(n); });
    }
    ExprPtr product(const std::vector<std::string>& names) {
        return chain(names, "*/", [this](const auto& n) { return unary(n); });
    }
    // Terms joined by the operators in `ops`, left to right, as one node.
    template <class Term>
    ExprPtr chain(const std::vector<std::string>& names, std::string_view ops, Term term) {
        ExprPtr first = term(names);
        if (!(peek().kind == Tok::Symbol && peek().text.size() == 1 &&
              ops.find(peek().text[0]) != std::string_view::npos)) {
            return first;
        }
        auto e = std::make_unique<Expr>();
        e->kind = Expr::Chain;
        e->terms.emplace_back(ops[0], std::move(first));
        while (peek().kind == Tok::Symbol && peek().text.size() == 1 &&
               ops.find(peek().text[0]) != std::string_view::npos) {
            const char op = next().text[0];
            e->terms.emplace_back(op, term(names));
        }
        return e;
    }
    // Signs are read in a loop, however many there are.
    ExprPtr unary(const std::vector<std::string>& names) {
        bool negative = false;
        while (peek().kind == Tok::Symbol && (peek().text == "-" || peek().text == "+"))
            negative ^= next().text == "-";
        ExprPtr value = power(names);
        if (!negative) return value;
        auto e = std::make_unique<Expr>();
        e->kind = Expr::Negate;
        e->a = std::move(value);
        return e;
    }
    ExprPtr power(const std::vector<std::string>& names) {
        ExprPtr base = atom(names);
        if (peek().kind == Tok::Symbol && (peek().text == "^" || peek().text == "**")) {
            const Nested nested(*this, next().line);
            auto e = std::make_unique<Expr>();
            e->kind = Expr::Power;
            e->a = std::move(base);
            e->b = unary(names);  // right-associative
            return e;
        }
        return base;
    }
    ExprPtr atom(const std::vector<std::string>& names) {
        const Token t = next();
        auto e = std::make_unique<Expr>();
        if (t.kind == Tok::Number) {
            e->value = std::strtod(t.text.c_str(), nullptr);
            return e;
        }
        if (t.kind == Tok::Symbol && t.text == "(") {
            const Nested nested(*this, t.line);
            ExprPtr inner = expression(names);
            expect(")");
            return inner;
        }
        if (t.kind != Tok::Ident) fail(t.line, "expected a number or a name, got '" + t.text + "'");
        for (size_t k = 0; k < names.size(); ++k) {
            if (names[k] == t.text) {
                e->kind = Expr::Param;
                e->param = k;
                return e;
            }
        }
        if (auto it = inputs_.find(t.text); it != inputs_.end()) {
            if (in_definition_)
                fail(t.line, "a gate definition cannot read the input '" + t.text + "'");
            e->kind = Expr::Input;
            e->input = it->second;
            return e;
        }
        if (t.text == "pi" || t.text == "π" || t.text == "tau" || t.text == "τ" ||
            t.text == "euler" || t.text == "ℯ") {
            e->value = t.text == "pi" || t.text == "π"    ? kPi
                       : t.text == "tau" || t.text == "τ" ? 2 * kPi
                                                          : std::numbers::e;
            return e;
        }
        static const char* functions[] = {"sin", "cos",  "tan",    "exp",    "ln",
                                          "log", "sqrt", "arcsin", "arccos", "arctan"};
        for (const char* f : functions) {
            if (t.text == f) {
                const Nested nested(*this, t.line);
                e->kind = Expr::Function;
                e->function = f;
                expect("(");
                e->a = expression(names);
                expect(")");
                return e;
            }
        }
        fail(t.line, "unknown name '" + t.text + "' in an expression");
    }
    // -- statements
    void statement() {
        const Token t = peek();
        const std::string& word = t.text;
        if (t.kind == Tok::Ident) {
            if (word == "include") return include();
            if (word == "qreg" || word == "creg") return old_register(word == "qreg");
            if (word == "qubit" || word == "bit") return new_register(word == "qubit");
            if (word == "gate" || word == "opaque") return definition(word == "opaque");
            if (word == "measure") return measure_arrow();
            if (word == "input") return input();
            if (word == "barrier") return barrier();
            if (cregs_.contains(word) && (peek(1).text == "=" || peek(1).text == "["))
                return measure_assign();
            static const char* refused[] = {
                "reset",    "if",   "for",     "while",    "def",     "defcal", "cal",
                "box",      "let",  "const",   "output",   "int",     "uint",   "float",
                "angle",    "bool", "complex", "duration", "stretch", "return", "break",
                "continue", "end",  "switch",  "array",    "extern"};
            for (const char* r : refused)
                if (word == r)
                    fail(t.line, "'" + word +
                                     "' is not supported: kestrix reads gates, "
                                     "measurements and barriers");
        }
        if (t.kind == Tok::Ident) return top_level_call();
        fail(t.line, "unexpected '" + word + "'");
    }

    void include() {
        const int line = next().line;
        const Token file = next();
        if (file.kind != Tok::String) fail(line, "include takes a file name in quotes");
        expect(";");
        if (file.text != "qelib1.inc" && file.text != "stdgates.inc")
            fail(line, "cannot include '" + file.text +
                           "': only qelib1.inc and stdgates.inc are "
                           "built in");
        if (library_) return;
        library_ = true;
        // The library's definitions, read by this same reader; the file may redefine them.
        Reader lib(kLibrary, interrupt_);
        lib.library_ = true;
        while (lib.peek().kind != Tok::End) lib.definition(false);
        for (auto& [name, def] : lib.definitions_) definitions_.emplace(name, std::move(def));
    }

    bool declared(const std::string& name) const {
        return qregs_.contains(name) || cregs_.contains(name) || definitions_.contains(name) ||
               inputs_.contains(name);
    }

    // input float[64] theta;  input angle theta;  a parameter of the circuit, left unbound.
    void input() {
        const int line = next().line;
        const std::string type = identifier();
        if (type != "float" && type != "angle")
            fail(line, "only float and angle inputs are read (as gate-angle parameters), got '" +
                           type + "'");
        if (accept("[")) {
            integer();
            expect("]");
        }
        const std::string name = identifier();
        expect(";");
        if (declared(name)) fail(line, "'" + name + "' is already declared");
        inputs_[name] = make_parameter(name);
    }

    void declare(std::map<std::string, Register>& registers, int& total, const std::string& name,
                 int size, int line) {
        if (declared(name)) fail(line, "'" + name + "' is already declared");
        if (size <= 0 || total + int64_t(size) > 100000)
            fail(line, "a register needs between 1 and 100000 bits, got " + std::to_string(size));
        registers[name] = {total, size};
        total += size;
    }

    void old_register(bool quantum) {  // qreg q[5];
        const int line = next().line;
        const std::string name = identifier();
        expect("[");
        const int size = integer();
        expect("]");
        expect(";");
        declare(quantum ? qregs_ : cregs_, quantum ? qubits_ : cbits_, name, size, line);
    }

    void new_register(bool quantum) {  // qubit[5] q;  bit c;
        const int line = next().line;
        int size = 1;
        if (accept("[")) {
            size = integer();
            expect("]");
        }
        const std::string name = identifier();
        expect(";");
        declare(quantum ? qregs_ : cregs_, quantum ? qubits_ : cbits_, name, size, line);
    }

    // gate name(params) qubits { body }   or   opaque name(params) qubits;
    void definition(bool opaque) {
        const int line = next().line;
        const std::string name = identifier();
        std::vector<std::string> params, qubits;
        if (accept("(")) {
            while (!accept(")")) {
                params.push_back(identifier());
                if (peek().text != ")") expect(",");
            }
        }
        do {
            qubits.push_back(identifier());
        } while (accept(","));
        Definition def{params.size(), qubits.size(), opaque, {}, 1, size_t{0}};
        in_definition_ = true;
        if (opaque) {
            expect(";");
        } else {
            expect("{");
            while (!accept("}")) {
                if (peek().kind == Tok::End)
                    fail(line, "the body of gate '" + name + "' is not closed");
                if (peek().text == "barrier") {  // no effect inside a gate
                    while (!accept(";")) next();
                    continue;
                }
                def.body.push_back(call_site(params, &qubits));
                const CallSite& call = def.body.back();
                check_callable(call);
                if (auto it = definitions_.find(call.name); it != definitions_.end())
                    def.depth = std::max(def.depth, it->second.depth + 1);
                if (def.depth > kMaxNesting) {
                    fail(call.line, "gate '" + name + "' nests definitions more than " +
                                        std::to_string(kMaxNesting) + " levels deep");
                }
                const std::optional<size_t> gates = expanded_gates(call);
                def.gates = def.gates && gates
                                ? std::optional(capped(double(*def.gates) + double(*gates)))
                                : std::nullopt;
            }
        }
        in_definition_ = false;
        if (qregs_.contains(name) || cregs_.contains(name) || inputs_.contains(name))
            fail(line, "'" + name + "' is already declared");
        definitions_[name] = std::move(def);
    }

    // Modifiers, name, parameters and operands of one call, up to its ';'. Inside a
    // definition, operands are the formal qubits; at top level, register elements.
    CallSite call_site(const std::vector<std::string>& params,
                       const std::vector<std::string>* formal) {
        CallSite c;
        c.line = peek().line;
        while (peek().kind == Tok::Ident && (peek().text == "ctrl" || peek().text == "negctrl" ||
                                             peek().text == "inv" || peek().text == "pow")) {
            const std::string word = next().text;
            Modifier m;
            m.kind = word == "ctrl"      ? Modifier::Ctrl
                     : word == "negctrl" ? Modifier::NegCtrl
                     : word == "inv"     ? Modifier::Inv
                                         : Modifier::Pow;
            if (m.kind == Modifier::Pow) {
                expect("(");
                m.exponent = expression(params);
                expect(")");
            } else if (m.kind != Modifier::Inv && accept("(")) {
                m.count = integer();
                if (m.count < 1) fail(c.line, "a control modifier takes at least one qubit");
                expect(")");
            }
            expect("@");
            c.modifiers.push_back(std::move(m));
        }
        c.name = identifier();
        if (accept("(")) {
            while (!accept(")")) {
                c.params.push_back(expression(params));
                if (peek().text != ")") expect(",");
            }
        }
        if (!accept(";")) {
            do {
                c.operands.push_back(formal ? formal_qubit(*formal) : element(qregs_, "qubit"));
            } while (accept(","));
            expect(";");
        }
        return c;
    }

    std::vector<int> formal_qubit(const std::vector<std::string>& formal) {
        const Token t = next();
        for (size_t k = 0; k < formal.size(); ++k)
            if (formal[k] == t.text) return {int(k)};
        fail(t.line, "'" + t.text + "' is not a qubit of this gate");
    }

    // q[3] (one bit) or q (the whole register), as absolute indices.
    std::vector<int> element(const std::map<std::string, Register>& registers, const char* what) {
        const Token t = next();
        if (t.kind == Tok::Symbol && t.text == "$")
            fail(t.line, "physical qubits ($n) are not supported; declare a register");
        auto it = registers.find(t.text);
        if (it == registers.end())
            fail(t.line, "'" + t.text + "' is not a declared " + what + " register");
        const Register r = it->second;
        if (!accept("[")) {
            std::vector<int> all(r.size);
            for (int k = 0; k < r.size; ++k) all[k] = r.offset + k;
            return all;
        }
        const int index = integer();
        expect("]");
        if (index >= r.size) {
            fail(t.line, "index " + std::to_string(index) + " is outside " + t.text + "[" +
                             std::to_string(r.size) + "]");
        }
        return {r.offset + index};
    }

    // A name used in a body must already be defined: definitions cannot recurse.
    void check_callable(const CallSite& c) {
        if (c.name == "gphase" || definitions_.contains(c.name)) return;
        if (builtins().contains(c.name) && (library_ || c.name == "U" || c.name == "CX")) return;
        fail(c.line,
             "gate '" + c.name + "' is not defined" +
                 (builtins().contains(c.name) ? " (include \"qelib1.inc\" or \"stdgates.inc\")"
                                              : ""));
    }

    // The gates one call expands to, known before expanding it unless a pow exponent
    // depends on parameters: what lets a doubling chain of definitions be refused at once.
    std::optional<size_t> expanded_gates(const CallSite& c) const {
        double n = 1;
        if (c.name == "gphase" || c.name == "delay") {
            n = 0;
        } else if (auto it = definitions_.find(c.name); it != definitions_.end()) {
            if (!it->second.gates) return std::nullopt;
            n = double(*it->second.gates);
        } else if (c.name == "cu") {
            n = 2;
        }
        for (const Modifier& m : c.modifiers) {
            if (m.kind == Modifier::Pow) {
                if (uses_parameters(*m.exponent)) return std::nullopt;
                n *= std::abs(number(*m.exponent, {}, c.line));
            } else if (m.kind != Modifier::Inv) {  // a phase gate, and X pairs for negctrl
                n += 1 + (m.kind == Modifier::NegCtrl ? 2.0 * m.count : 0.0);
            }
        }
        return std::isfinite(n) ? std::optional(capped(n)) : std::nullopt;
    }

    // The gates of one call, modifiers applied from the innermost (rightmost) out, in a
    // loop: a call may carry any number of them. Controls take the leading qubits, the
    // outermost modifier's first.
    Emitted apply(const CallSite& c, const std::vector<Angle>& params,
                  const std::vector<int>& qubits, const std::vector<Angle>& outer) {
        std::vector<size_t> first(c.modifiers.size());  // each control modifier's first qubit
        size_t used = 0;
        for (size_t k = 0; k < c.modifiers.size(); ++k) {
            first[k] = used;
            if (c.modifiers[k].kind == Modifier::Ctrl || c.modifiers[k].kind == Modifier::NegCtrl)
                used += size_t(c.modifiers[k].count);
        }
        if (qubits.size() < used) fail(c.line, "not enough qubits for the controls");
        Emitted e = base(c, params, std::vector<int>(qubits.begin() + used, qubits.end()));
        for (size_t k = c.modifiers.size(); k-- > 0;) {
            const Modifier& m = c.modifiers[k];
            if (m.kind == Modifier::Inv) {
                e = inverted(std::move(e));
            } else if (m.kind == Modifier::Pow) {
                e = powered(c, m, std::move(e), outer);
            } else {
                e = controlled(m, std::move(e),
                               std::vector<int>(qubits.begin() + first[k],
                                                qubits.begin() + first[k] + m.count));
            }
        }
        return e;
    }

    Emitted powered(const CallSite& c, const Modifier& m, Emitted once,
                    const std::vector<Angle>& outer) {
        const double k = number(*m.exponent, outer, c.line);
        if (k != std::round(k) || std::abs(k) > 1e6)
            fail(c.line, "pow(" + std::to_string(k) + "): only integer powers are supported");
        if (double(once.gates.size()) * std::abs(k) > double(kMaxGates)) too_many_gates(c.line);
        if (k < 0) once = inverted(std::move(once));
        Emitted out;
        for (long n = std::lround(std::abs(k)); n > 0; --n) append(out, once, c.line);
        return out;
    }

    static Emitted controlled(const Modifier& m, Emitted inner, const std::vector<int>& controls) {
        Emitted out;
        for (int q : controls)
            if (m.kind == Modifier::NegCtrl) out.gates.push_back(make_gate(GateKind::X, {q}));
        for (const Gate& g : inner.gates) out.gates.push_back(g.controlled(controls));
        if (inner.phase != 0) {  // the phase, under the controls, is a phase gate on them
            Gate phase = make_gate(GateKind::U1, {controls.back()}, {inner.phase});
            out.gates.push_back(
                phase.controlled(std::vector<int>(controls.begin(), controls.end() - 1)));
        }
        for (int q : controls)
            if (m.kind == Modifier::NegCtrl) out.gates.push_back(make_gate(GateKind::X, {q}));
        return out;
    }

    // Adds `from` to `to`, within the cap, polling for Ctrl-C as the expansion grows.
    void append(Emitted& to, const Emitted& from, int line) {
        if (to.gates.size() + from.gates.size() > kMaxGates) too_many_gates(line);
        to.gates.insert(to.gates.end(), from.gates.begin(), from.gates.end());
        to.phase += from.phase;
        poll(from.gates.size());
    }

    void poll(size_t gates) { poller_.done(gates * (kPollWork / kPollGates)); }

    Emitted base(const CallSite& c, const std::vector<Angle>& params,
                 const std::vector<int>& qubits) {
        auto arity = [&](size_t p, size_t q) {
            if (params.size() != p || qubits.size() != q) {
                fail(c.line, "gate '" + c.name + "' takes " + std::to_string(p) +
                                 " parameter(s) and " + std::to_string(q) + " qubit(s), got " +
                                 std::to_string(params.size()) + " and " +
                                 std::to_string(qubits.size()));
            }
        };
        if (c.name == "gphase") {
            arity(1, 0);
            if (!params[0].is_number()) fail(c.line, "gphase takes a number, not an input");
            return Emitted{{}, params[0].offset};
        }
        if (auto it = definitions_.find(c.name); it != definitions_.end()) {
            const Definition& def = it->second;
            arity(def.params, def.qubits);
            if (def.opaque)
                fail(c.line, "gate '" + c.name + "' is opaque: it has no definition to run");
            if (def.gates && *def.gates > kMaxGates) too_many_gates(c.line);
            Emitted out;
            for (const CallSite& inner : def.body) {
                std::vector<Angle> values;
                for (const ExprPtr& e : inner.params)
                    values.push_back(finite(evaluate(*e, params, c.line), c.line));
                std::vector<int> mapped;
                for (const auto& operand : inner.operands) mapped.push_back(qubits[operand[0]]);
                append(out, apply(inner, values, mapped, params), c.line);
            }
            return out;
        }
        const Builtin& b = builtins().at(c.name);
        arity(b.params, b.qubits);
        return b.make(params, qubits);
    }

    static Angle finite(Angle a, int line) {
        if (!std::isfinite(a.offset) || !std::isfinite(a.scale))
            fail(line, "an angle is not a finite number");
        return a;
    }

    // A call at top level: operands that are whole registers broadcast, index by index.
    void top_level_call() {
        const CallSite c = call_site({}, nullptr);
        check_callable(c);
        if (const std::optional<size_t> gates = expanded_gates(c);
            gates && emitted_ + *gates > kMaxGates) {
            too_many_gates(c.line);
        }
        std::vector<Angle> params;
        for (const ExprPtr& e : c.params)
            params.push_back(finite(evaluate(*e, {}, c.line), c.line));
        size_t width = 1;
        for (const auto& operand : c.operands) {
            if (operand.size() == 1) continue;
            if (width != 1 && operand.size() != width) fail(c.line, "registers of different sizes");
            width = operand.size();
        }
        for (size_t k = 0; k < width; ++k) {
            std::vector<int> qubits;
            for (const auto& operand : c.operands)
                qubits.push_back(operand.size() == 1 ? operand[0] : operand[k]);
            try {
                for (const Gate& g : apply(c, params, qubits, {}).gates) add(g);
            } catch (const ValueError& e) {
                const std::string what = e.what();
                if (what.starts_with("OpenQASM")) throw;
                fail(c.line, what);
            }
        }
    }

    void add(const Gate& g) {
        if (++emitted_ > kMaxGates) too_many_gates(peek().line);
        circuit_.append(g);
        poll(1);
    }

    void measure_arrow() {  // measure q[0] -> c[0];
        const int line = next().line;
        const std::vector<int> q = element(qregs_, "qubit");
        expect("->");
        const std::vector<int> c = element(cregs_, "bit");
        expect(";");
        measure(q, c, line);
    }

    void measure_assign() {  // c[0] = measure q[0];
        const int line = peek().line;
        const std::vector<int> c = element(cregs_, "bit");
        expect("=");
        if (identifier() != "measure") fail(line, "only a measurement can be assigned to a bit");
        const std::vector<int> q = element(qregs_, "qubit");
        expect(";");
        measure(q, c, line);
    }

    void measure(const std::vector<int>& q, const std::vector<int>& c, int line) {
        if (q.size() != c.size()) fail(line, "measure needs as many bits as qubits");
        for (size_t k = 0; k < q.size(); ++k) add(make_measure(q[k], c[k]));
    }

    void barrier() {
        next();
        std::vector<int> qubits;
        if (peek().text == ";") {  // every qubit
            for (int q = 0; q < qubits_; ++q) qubits.push_back(q);
        } else {
            do {
                for (int q : element(qregs_, "qubit")) qubits.push_back(q);
            } while (accept(","));
        }
        expect(";");
        std::sort(qubits.begin(), qubits.end());
        qubits.erase(std::unique(qubits.begin(), qubits.end()), qubits.end());
        if (!qubits.empty()) add(make_gate(GateKind::BARRIER, QubitList(qubits)));
    }

    std::vector<Token> tokens_;
    const InterruptCheck& interrupt_;
    size_t at_ = 0;
    WorkPoller poller_;
    int nesting_ = 0;
    bool library_ = false;
    int qubits_ = 0, cbits_ = 0;
    size_t emitted_ = 0;
    std::map<std::string, Register> qregs_, cregs_;
    std::map<std::string, Definition> definitions_;
    std::map<std::string, Parameter> inputs_;  ///< by name; each read makes new parameters
    bool in_definition_ = false;
    Circuit circuit_;
};

}  // namespace

Program from_qasm(std::string_view text, const InterruptCheck& interrupt) {
    return Reader(text, interrupt).read();
}

}  // namespace kestrix
