"""Eight threads calling the module at once on shared and private instances,
a shared defaults module and shared containers (on a free-threaded build,
truly in parallel), while another thread keeps rebinding
the module globals the functions read (to equivalent objects, so that every
result stays exactly determined).  QV_STRESS_CALLS sets the total number of
calls (make stress: 100000)."""
import configparser
import faulthandler
import importlib
import os
import sys
import threading
import types

from unidecode import unidecode

import config_support as cs
from config_support import cgv, defaults, gmod

CALLS = int(os.environ.get("QV_STRESS_CALLS", "2000"))
THREADS = 8
INI = "[Limits]\nmax_rows = 250\nrate = 3\nbatch_size = 2.5\n[Flags]\nverbose = yes\nstra\u00dfe = 1\n"


class BadNumber(int):
    def __str__(self):
        raise ValueError("no text")


class Sink(object):
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def fresh():
    return [{"city": "Z\u00fcrich", "n": 3, "tags": ["caf\u00e9", 2.5, None]}, ("t",), "x", True]


FRESH_DONE = [{"city": "Zrich", "n": "3", "tags": ["caf", "2.5", None]}, ("t",), "x", "True"]


def test_concurrent_calls_with_globals_rebound(tmp_path):
    path = cs.write_ini(tmp_path, INI)
    shared_inst, shared_list, shared_dict = cgv(path), fresh(), {"a": "\u00e9t\u00e9", "b": [1, "\u00fc"]}
    real = {name: gmod.__dict__[name] for name in
            ("unidecode", "apply_unidecoding", "traceback", "ConfigParser", "importlib")}
    equivalents = {
        "unidecode": lambda text: unidecode(text),
        "apply_unidecoding": lambda value: real["apply_unidecoding"](value),
        "traceback": types.SimpleNamespace(print_exc=real["traceback"].print_exc),
        "ConfigParser": type("SameParser", (configparser.ConfigParser,), {}),
        "importlib": types.SimpleNamespace(import_module=importlib.import_module),
    }
    checks = [
        lambda i: gmod.apply_unidecoding(fresh()) == FRESH_DONE,
        lambda i: gmod.apply_unidecoding(shared_list if i % 2 else shared_dict) is not None,
        lambda i: (shared_inst.MAX_ROWS, shared_inst.RATE, shared_inst.VERBOSE, shared_inst.BATCH_SIZE,
                   shared_inst.APP_NAME, shared_inst.NOT_SET) == (250, 3.0, True, None, "quorvane", None),
        lambda i: [(inst.variables, inst.MAX_ROWS, inst.RATE, inst.VERBOSE, inst.NOT_SET)
                   for inst in [cgv(path)]] == [(["MAX_ROWS", "RATE", "BATCH_SIZE", "VERBOSE", "STRAE"],
                                                 250, 3.0, True, None)],
        lambda i: cgv().MAX_ROWS == 100 and shared_inst.config_json["STRAE"] == "Flags",
        lambda i: gmod.apply_unidecoding(BadNumber(i)) == i,  # printed, number returned
        lambda i: gmod.apply_unidecoding("caf\u00e9 %d" % i) == "caf %d" % i,
        lambda i: shared_inst.TOGGLE in (1, 2.5, "x", None),  # changed by the rebinder
    ]
    errors, stop, per_thread = [], threading.Event(), max(1, CALLS // THREADS)

    def worker(seed):
        try:
            for i in range(per_thread):
                check = checks[(seed + i) % len(checks)]
                if not check(i):
                    errors.append("check %d failed at call %d" % (checks.index(check), i))
                    return
        except BaseException as exc:  # anything at all is a failure here
            errors.append(repr(exc))

    rebinds = [0]

    def rebinder():
        while not stop.is_set():
            n = rebinds[0]
            name = sorted(real)[n % len(real)]
            gmod.__dict__[name] = equivalents[name] if n % 2 == 0 else real[name]
            if n % 4 == 3:
                defaults.__dict__.pop("TOGGLE", None)
            else:
                defaults.TOGGLE = (1, 2.5, "x")[n % 4]
            rebinds[0] += 1

    timeout = 120 + CALLS / 200.0
    faulthandler.dump_traceback_later(timeout + 30, exit=True)  # a deadlock ends the run
    old_interval, old_stderr = sys.getswitchinterval(), sys.stderr
    sys.setswitchinterval(1e-5)
    sys.stderr = Sink()
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    side = threading.Thread(target=rebinder)
    try:
        side.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout)
        alive = [t for t in threads if t.is_alive()]
    finally:
        stop.set()
        side.join(timeout)
        sys.stderr = old_stderr
        sys.setswitchinterval(old_interval)
        gmod.__dict__.update(real)
        defaults.__dict__.pop("TOGGLE", None)
        faulthandler.cancel_dump_traceback_later()
    assert not alive and not side.is_alive(), "threads still running after %ss" % timeout
    assert errors == [] and rebinds[0] > len(real)
    assert shared_list == FRESH_DONE and shared_dict == {"a": "t", "b": ["1", ""]}
    assert defaults.MAX_ROWS == 100 and gmod.apply_unidecoding(["\u00e9a"]) == ["a"]
