"""Helpers shared by the configuration tests: INI files, traceback entries,
recording stand-ins for what config_global_var calls, and Reference, a plain
Python model of config_global_var used as the oracle of the differential
tests."""

import codecs
import math
import os

import pytest
from unidecode import unidecode

import quorvane.global_var.globals as gmod
import quorvane.global_var.global_var as defaults
import reference_impl

cgv = gmod.config_global_var
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
RESERVED = ("filename", "parser", "config_json", "module", "variables")
MISSING = object()  # marks a setting that the defaults module must not define

# Traceback entries of the module: "quorvane\\global_var\\globals.py" with
# two backslash characters between the components.
TB_FILE = "quorvane\\\\global_var\\\\globals.py"
INIT = "quorvane.global_var.globals.config_global_var.__init__"
GETATTR = "quorvane.global_var.globals.config_global_var.__getattribute__"


def data(name):
    return os.path.join(DATA, name)


def own_entries(exc):
    """(name, file, line) of the traceback entries the module added to exc,
    outermost first."""
    found, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name.startswith("quorvane.global_var.globals."):
            found.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return found


def entries(*pairs):
    return [(name, TB_FILE, line) for name, line in pairs]


def file_encoding():
    """The encoding that open() without an encoding uses, as the parser does."""
    with open(__file__) as fh:
        return fh.encoding


def needs_utf8():
    """Skip unless files are decoded as UTF-8 by default (the data files are)."""
    if codecs.lookup(file_encoding()).name != "utf-8":
        pytest.skip("the default file encoding is not UTF-8")


def write_ini(directory, text, name="settings.ini"):
    try:
        raw = text.encode(file_encoding())
    except UnicodeEncodeError:
        pytest.skip("the default file encoding cannot hold this text")
    path = os.path.join(str(directory), name)
    with open(path, "wb") as fh:
        fh.write(raw)
    return path


def instance_dict(inst):
    return object.__getattribute__(inst, "__dict__")


def transliterate_names(names):
    # A plain str has no decode(), so the ascii/ignore round trip makes the
    # result: letters outside ASCII are dropped before unidecode runs.
    return [unidecode(n.encode("ascii", "ignore").decode("ascii", "ignore")) for n in names]


# config_global_var written out in plain Python: the reference that the
# differential tests hold the extension to.
Reference = reference_impl.namespace(gmod)["config_global_var"]


def outcome(read):
    """What a read gives, in a form two implementations can be compared by."""
    try:
        value = read()
    except Exception as exc:  # the type is what must agree
        return ("raises", type(exc))
    return ("value", type(value), value)


def same_outcome(a, b):
    if a[0] != b[0] or a[1] is not b[1]:
        return False
    if a[0] == "raises" or a[2] is b[2] or a[2] == b[2]:
        return True
    return isinstance(a[2], float) and math.isnan(a[2]) and math.isnan(b[2])


class Traced(object):
    """Class-level data descriptor standing in for one instance attribute:
    logs every read and write and keeps the value in the instance dict."""

    def __init__(self, name, log):
        self.name, self.log = name, log

    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        self.log.append(("get", self.name))
        try:
            return instance_dict(obj)[self.name]
        except KeyError:
            raise AttributeError(self.name)

    def __set__(self, obj, value):
        self.log.append(("set", self.name))
        instance_dict(obj)[self.name] = value


def fake_parser_class(log, sections, fail=None):
    """A ConfigParser stand-in that serves `sections` (name -> option list),
    logs its calls and raises RuntimeError from the method named `fail`."""

    class FakeParser(object):
        def _enter(self, *call):
            log.append(call)
            if call[0] == fail:
                raise RuntimeError("fake %s failed" % fail)

        def __init__(self, *args, **kwargs):
            self._enter("ConfigParser", args, kwargs)
            self.last_options = None

        def read(self, *args, **kwargs):
            self._enter("read", args, kwargs)
            return []

        def sections(self):
            self._enter("sections")
            return list(sections)

        def options(self, section):
            self._enter("options", section)
            self.last_options = list(sections[section])
            return self.last_options

    return FakeParser


class SpyParser(object):
    """Stand-in for inst.parser in lookups: logs the conversion calls and
    answers each with `answer`, or raises it when it is an exception."""

    def __init__(self, answer):
        self.answer, self.calls = answer, []

    def _convert(method):
        def convert(self, *args, **kwargs):
            self.calls.append((method, args, kwargs))
            if isinstance(self.answer, BaseException):
                raise self.answer
            return self.answer
        return convert

    getint, getfloat, getboolean = _convert("getint"), _convert("getfloat"), _convert("getboolean")
