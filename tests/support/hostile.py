"""Values that fight the code reading them: numbers that empty the container they sit in,
conversions that raise, lengths that lie. Plain Python, so that a child interpreter under
the debug allocator (isolated.py) can import them as well as the fuzzer (fuzzing.py)."""
import inspect


class ClearingIndex:
    """An index that empties the container it sits in when read."""

    def __init__(self, box, value):
        self.box, self.value = box, value

    def __index__(self):
        self.box.clear()
        return self.value

    __int__ = __index__


class ClearingFloat:
    """A number that empties the container it sits in when read."""

    def __init__(self, box, value):
        self.box, self.value = box, value

    def __float__(self):
        self.box.clear()
        return self.value

    def __complex__(self):
        self.box.clear()
        return complex(self.value)


class Raising:
    """Every conversion raises."""

    def __index__(self):
        raise RuntimeError("no index")

    def __float__(self):
        raise RuntimeError("no float")

    def __len__(self):
        raise RuntimeError("no len")

    def __iter__(self):
        raise RuntimeError("no iter")

    def __bool__(self):
        raise RuntimeError("no bool")

    def __eq__(self, other):
        raise RuntimeError("no eq")

    __hash__ = object.__hash__


class LyingLength:
    """Claims a billion items and has none."""

    def __len__(self):
        return 10**9

    def __getitem__(self, k):
        raise IndexError(k)


class Shrinking(list):
    """A list that empties itself when read."""

    def __getitem__(self, k):
        value = list.__getitem__(self, k)
        self.clear()
        return value

    def __iter__(self):
        items = list(list.__iter__(self))
        self.clear()
        return iter(items)


def clearing_list(kind, values):
    box = []
    box.extend(kind(box, v) for v in values)
    return box


def clearing_dict(values):
    box = {}
    box.update({k: ClearingFloat(box, v) for k, v in values.items()})
    return box


def recursive_list():
    box = [0]
    box.append(box)
    return box


def one_bad_argument(function, hostile, sane, skip=lambda name, value: False):
    """Keyword arguments for `function`, one set per parameter and hostile value: that
    parameter takes the value, the others a sane one by name or their default. `self`,
    **kwargs, parameters with neither and the pairs that `skip` names are left out."""
    params = [p for p in inspect.signature(function).parameters.values()
              if p.name != "self" and p.kind is not p.VAR_KEYWORD]
    for target in params:
        for value in hostile:
            if skip(target.name, value):
                continue
            args = {p.name: sane.get(p.name, p.default) for p in params}
            args[target.name] = value
            if all(a is not inspect.Parameter.empty for a in args.values()):
                yield args


class Attempts:
    """A child's tally of hostile calls. Each call may raise `tolerated`: anything else, or
    a crash, is a fault. `report` prints the line that isolated.survivor_counts reads, so
    the parent can check that calls were made and that some, not all, were refused."""

    def __init__(self, hostile=(), sane=None, endless=(), tolerated=Exception):
        self.hostile, self.sane, self.endless = list(hostile), dict(sane or {}), set(endless)
        self.tolerated = tolerated
        self.calls = self.failures = 0

    def __call__(self, f, *args, **kwargs):
        self.calls += 1
        try:
            f(*args, **kwargs)
        except self.tolerated:
            self.failures += 1

    def each(self, calls):
        """Makes every call of an iterable of argument-less callables."""
        for call in calls:
            self(call)

    def variants(self, f):
        """one_bad_argument for `f` with this tally's hostile and sane values, leaving out
        the (name, int) pairs of `endless`: values that would run for ever, not fail."""
        return one_bad_argument(f, self.hostile, self.sane,
                                lambda name, value: type(value) is int
                                and (name, value) in self.endless)

    def report(self):
        print("survived", self.calls, self.failures)


def attempt_all(calls, tolerated=Exception):
    """Makes each call; returns (calls, failures). A call may raise `tolerated`: anything
    else, or a crash, is a fault."""
    attempts = Attempts(tolerated=tolerated)
    attempts.each(calls)
    return attempts.calls, attempts.failures


# ------------------------------------------------------------------------------------------
# OpenQASM text

QASM_HEADER = 'OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[2] q;\n'
DEEP = 30000


def doubling_definitions(levels):
    text = QASM_HEADER + "gate g0 a { x a; }\n"
    for k in range(1, levels):
        text += f"gate g{k} a {{ g{k - 1} a; g{k - 1} a; }}\n"
    return text + f"g{levels - 1} q[0];\n"


def definition_chain(levels):
    text = QASM_HEADER + "gate g0 a { x a; }\n"
    for k in range(1, levels):
        text += f"gate g{k} a {{ g{k - 1} a; }}\n"
    return text + f"g{levels - 1} q[0];\n"


# OpenQASM nested and repeated far past any real file: each once overflowed the reader's
# stack and killed the interpreter.
HOSTILE_QASM = {
    "signs": QASM_HEADER + "rx(" + "-" * DEEP + "0.5) q[0];",
    "inv": QASM_HEADER + "inv @ " * DEEP + "x q[0];",
    "pow": QASM_HEADER + "pow(2) @ " * DEEP + "x q[0];",
    "parentheses": QASM_HEADER + "rx(" + "(" * DEEP + "0.5" + ")" * DEEP + ") q[0];",
    "functions": QASM_HEADER + "rx(" + "sin(" * DEEP + "0.5" + ")" * DEEP + ") q[0];",
    "powers": QASM_HEADER + "rx(" + "2^" * DEEP + "0.5) q[0];",
    "chain": definition_chain(10000),
    "doubling": doubling_definitions(40),
    "unclosed": QASM_HEADER + "rx(" + "(" * DEEP,
}
