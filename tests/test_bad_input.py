"""Bad input: INI text of every shape (the parser's own errors), binary and
undecodable files, a very large file, directories, FIFOs, unreadable files,
paths of every kind, and huge or deeply nested values for
apply_unidecoding.  Each ends as the plain-Python Reference ends (the same
instance state and reads, or the same exception), never in a crash, and the
module keeps working afterwards.  QV_LARGE_TESTS=1 (make stress) uses a
50 MB file and bigger values."""
import os
import pathlib
import random
import threading

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import config_support as cs
from config_support import cgv, defaults, gmod
from conftest import run_python

LARGE = os.environ.get("QV_LARGE_TESTS") == "1"
EXAMPLES = int(os.environ.get("QV_STRESS_EXAMPLES", "120"))
READS = ("MAX_ROWS", "RATE", "VERBOSE", "PHASE", "APP_NAME", "max_retries", "NOPE")


@pytest.fixture(autouse=True)
def still_works(monkeypatch):
    monkeypatch.setitem(defaults.__dict__, "PHASE", 1j)
    yield
    assert gmod.apply_unidecoding(["caf\u00e9", 1, {"k": 2.5}]) == ["caf", "1", {"k": "2.5"}]
    assert cgv().MAX_ROWS == 100 and cgv(cs.data("pipeline.ini")).MAX_ROWS == 250


def end(make):
    try:
        inst = make()
    except Exception as exc:
        return ("raised", type(exc), str(exc))
    return ("built", inst.variables, list(inst.config_json.items()), inst.parser.sections(),
            [cs.outcome(lambda: getattr(inst, name)) for name in READS])


def assert_like_reference(name):
    got, want = end(lambda: cgv(name)), end(lambda: cs.Reference(name))
    if got[0] == want[0] == "built":
        assert got[1:4] == want[1:4]
        assert all(cs.same_outcome(a, b) for a, b in zip(got[4], want[4])), (got[4], want[4])
    else:
        assert got == want
    return got


LINES = ["[Limits]", "[limits]", "[DEFAULT]", "[Data Source]", "[", "[x", "]", "max_rows = 250",
         "MAX_ROWS: 7", "rate = 3", "rate=", "verbose = yes", "verbose = maybe", "phase = 1",
         "  continued", "\tvalue", "# comment", "; comment", "=novalue", "just words",
         "stra\u00dfe = 1", "caf\u00e9 = 2", "max_rows = %(rate)s", "rate = 5%", "a = %(b)s",
         "b = %(a)s", "max_rows = %(a)s", "", "\x00", "\ufeff[Limits]", "max_rows = 0x10 ; no",
         "verbose = ON", "rate = nan", "rate = 1e400", "max_rows = -7", "\u00e9\u00e9 = \u00fc"]


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(lines=st.lists(st.sampled_from(LINES), max_size=12), junk=st.sampled_from([b"", b"\xff", b"\r"]))
def test_ini_text_of_any_shape(tmp_path_factory, lines, junk):
    path = tmp_path_factory.mktemp("ini") / "f.ini"
    path.write_bytes("\n".join(lines).encode(cs.file_encoding(), "replace") + junk)
    assert_like_reference(str(path))


_rng = random.Random(20240101)


@pytest.mark.parametrize("content", [
    b"\x00" * 64, b"\x89PNG\r\n\x1a\n" + bytes(range(256)),
    bytes(_rng.getrandbits(8) for _ in range(4096)), "[A]\nmax_rows = 1\n".encode("utf-16"),
    b"\xef\xbb\xbf[Limits]\nmax_rows = 5\n", b"[Limits]\nmax_rows = 5\r\n\r\nrate = \xff\xfe\n",
    b"[Limits]\n" + b"max_rows = " + b"9" * 100000 + b"\n",
], ids=["nul", "png", "random", "utf-16", "bom", "bad-value", "long-number"])
def test_binary_and_undecodable_files(tmp_path, content):
    path = tmp_path / "f.ini"
    path.write_bytes(content)
    assert_like_reference(str(path))


def test_very_large_file(tmp_path):
    size, options = (50 << 20, 100000) if LARGE else (1 << 20, 2000)
    path = tmp_path / "large.ini"
    line = "  " + "x" * 1021 + "\n"
    with open(str(path), "w", encoding="utf-8") as fh:
        fh.write("[Limits]\nmax_rows = 250\n[Big]\nhuge = start\n")
        fh.write(line * (size // len(line)))
        fh.writelines("opt%d = %d\n" % (n, n) for n in range(options))
    inst = cgv(str(path))
    assert inst.variables == ["MAX_ROWS", "HUGE"] + ["OPT%d" % n for n in range(options)]
    assert inst.MAX_ROWS == 250 and len(inst.parser.get("Big", "huge")) > size * 0.99


def test_directory_fifo_and_unreadable_file(tmp_path):
    for name in (str(tmp_path), [str(tmp_path), cs.data("pipeline.ini")]):
        assert assert_like_reference(name)[0] == "built"
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    def write():
        with open(fifo, "w") as fh:  # blocks until the parser opens the FIFO
            fh.write("[L]\nmax_rows = 77\n")
    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    assert cgv(fifo).MAX_ROWS == 77
    writer.join(10)
    locked = tmp_path / "locked.ini"
    locked.write_text("[L]\nmax_rows = 5\n")
    locked.chmod(0)
    if os.access(str(locked), os.R_OK):
        pytest.skip("running as root: permissions do not keep the file from being read")
    assert cgv(str(locked)).config_json == {}


class BadPath(object):
    def __init__(self, exc):
        self.exc = exc

    def __fspath__(self):
        raise self.exc


class Paths(object):
    """An iterable of paths that is neither a list nor a path itself."""
    def __init__(self, paths):
        self.paths = paths

    def __iter__(self):
        return (p for p in self.paths)


@pytest.mark.parametrize("name, ends", [
    ("bad\0name", ValueError), (b"bad\0name", ValueError), (pathlib.Path("."), "built"),
    ([cs.data("pipeline.ini"), "bad\0name"], ValueError), (BadPath(RuntimeError("x")), RuntimeError),
    (BadPath(OSError("unreachable")), "built"), ([BadPath(KeyError("k"))], KeyError),
    (Paths([cs.data("analytics.ini"), "/nonexistent/x.ini"]), "built"),
    (12.5, TypeError), ({"no-such-file": 1}, "built"), (b"", "built"),
], ids=["nul-str", "nul-bytes", "dot", "nul-in-list", "fspath-raises", "fspath-oserror",
        "fspath-in-list", "iterable", "float", "dict", "empty-bytes"])
def test_paths_of_every_kind(name, ends):
    got = assert_like_reference(name)
    assert got[0] == "built" if ends == "built" else got[:2] == ("raised", ends)


def test_huge_values(capsys):
    n = 10 ** 6 if LARGE else 10 ** 5
    items = ["caf\u00e9", n, 2.5, None, ("t",), {"k": "\u00fc\u00fc"}] * (n // 6)
    assert gmod.apply_unidecoding(items) is items
    assert items[:6] == ["caf", str(n), "2.5", None, ("t",), {"k": ""}] and items[-6:] == items[:6]
    assert gmod.apply_unidecoding("\u00e9" * n + "a") == "a"
    assert gmod.apply_unidecoding("x" * (10 * n)) == "x" * (10 * n)
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("where", ["main", "thread"])
def test_deep_nesting_with_raised_recursion_limit(repo_root, where):
    proc = run_python('''
        import sys, threading
        import quorvane.global_var.globals as m
        sys.setrecursionlimit(10 ** 6)
        value = cur = []
        for _ in range(200000):
            cur.append([])
            cur = cur[0]
        cur.append({"k": "\u00e9"})
        def run():
            assert m.apply_unidecoding(value) is value
        if %r == "thread":
            t = threading.Thread(target=run)
            t.start()
            t.join()
        else:
            run()
        done(ok=True)
    ''' % where, root=repo_root, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "RecursionError" in proc.stderr and '"ok": true' in proc.stdout
