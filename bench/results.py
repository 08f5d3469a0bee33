"""Benchmark output kept in the docs. `make bench` sets BENCH_RESULTS to
docs/speed-results.md; each script then writes what it printed there as well, as its own
section (the machine, the date, the thread count and the output in a fenced block), which
replaces that script's section of an earlier run and leaves the others as they are.
Without BENCH_RESULTS a script only prints.

    with recorded(__file__):
        main()

The console output stays exactly as it was; a script that fails writes nothing.
"""
import contextlib
import datetime
import os
import platform
import re
import sys

ENV = "BENCH_RESULTS"
HEADER = """# Measured results

Written by `make bench`: each script of `bench/` replaces its own section when it runs,
so sections may come from different days. What bounds each figure is explained on the
[speed](speed.md) page; the module pages discuss their own benchmarks.
"""
BEGIN, END = "<!-- begin {} -->", "<!-- end {} -->"


def threads():
    """The engine's thread count: KESTRIX_NUM_THREADS, else OMP_NUM_THREADS, else the cores
    this process may run on."""
    for name in ("KESTRIX_NUM_THREADS", "OMP_NUM_THREADS"):
        value = os.environ.get(name, "").strip()
        if value.isdigit() and int(value) > 0:
            return int(value)
    return len(os.sched_getaffinity(0))


def machine():
    """One line about this machine: processor, cores, vector instructions, memory, system."""
    model, flags = platform.processor() or platform.machine(), set()
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                if key.strip() == "model name":
                    model = value.strip()
                elif key.strip() == "flags":
                    flags = set(value.split())
    vectors = [name for name, flag in (("AVX2", "avx2"), ("AVX-512", "avx512f")) if flag in flags]
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    parts = [model, f"{os.cpu_count()} logical cores", *vectors, f"{memory:.0f} GiB memory",
             f"{platform.system()} {platform.machine()}"]
    return ", ".join(parts)


def section(script, output, when=None, thread_count=None, host=None):
    """The Markdown section of `script` holding its console `output`."""
    when = when or datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    thread_count = threads() if thread_count is None else thread_count
    return "\n".join([
        BEGIN.format(script),
        f"## `{script}`",
        "",
        f"- machine: {host or machine()}",
        f"- date: {when}",
        f"- threads: {thread_count}",
        "",
        "```text",
        output.rstrip("\n"),
        "```",
        END.format(script),
    ])


def replaced(document, script, new_section):
    """`document` with the section of `script` replaced by `new_section`, or with it added
    at the end when there is none; a missing header is written first."""
    if not document.strip():
        document = HEADER
    pattern = re.compile(re.escape(BEGIN.format(script)) + r".*?" + re.escape(END.format(script)),
                         re.S)
    if pattern.search(document):
        return pattern.sub(lambda _: new_section, document, count=1)
    return document.rstrip("\n") + "\n\n" + new_section + "\n"


def record(path, script, output, **details):
    """Writes `output` of `script` into the results file at `path`."""
    try:
        with open(path, encoding="utf-8") as f:
            document = f.read()
    except FileNotFoundError:
        document = ""
    document = replaced(document, script, section(script, output, **details))
    with open(path, "w", encoding="utf-8") as f:
        f.write(document)


class _Tee:
    """A stream that writes to `stream` and keeps a copy of everything written."""

    def __init__(self, stream):
        self.stream, self.parts = stream, []

    def write(self, text):
        self.parts.append(text)
        return self.stream.write(text)

    def flush(self):
        self.stream.flush()

    def __getattr__(self, name):
        return getattr(self.stream, name)


def script_name(file):
    """bench/<name>.py for a script's __file__."""
    return f"bench/{os.path.basename(file)}"


@contextlib.contextmanager
def recorded(file, thread_count=None):
    """Prints as usual; when BENCH_RESULTS names a file, what the block printed also goes
    there as the section of the script `file` (its __file__)."""
    path = os.environ.get(ENV)
    if not path:
        yield
        return
    tee = _Tee(sys.stdout)
    sys.stdout = tee
    try:
        yield
    finally:
        sys.stdout = tee.stream
    record(path, script_name(file), "".join(tee.parts), thread_count=thread_count)
