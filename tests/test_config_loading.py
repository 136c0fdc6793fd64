"""Construction of config_global_var: instance state, the option index and
what goes wrong with bad input."""

import configparser
import os
import pathlib
import sys
import types

import pytest

import config_support as cs
from config_support import INIT, RESERVED, cgv, defaults, entries, gmod, own_entries

MAIN_OTHER = "[Main]\nMaxRows = 1\nname = x\n\n[Other]\nmaxrows = 2\n"


def new_instance():
    return cgv.__new__(cgv)


def init_kw(**kwargs):
    inst = new_instance()
    cgv.__init__(self=inst, **kwargs)
    return inst


@pytest.mark.parametrize("build", [
    lambda: cgv(), lambda: cgv(None), lambda: cgv(filename=None),
    lambda: init_kw(), lambda: init_kw(filename=None), lambda: gmod.g,
], ids=["no-args", "None", "kw-None", "init-self-kw", "init-kw-None", "module-g"])
def test_instance_without_file(build):
    inst = build()
    assert type(inst) is cgv
    assert list(cs.instance_dict(inst)) == ["variables", "module"]
    assert inst.variables == [] and type(inst.variables) is list
    assert inst.module is sys.modules["quorvane.global_var.global_var"] is defaults
    for name in ("filename", "parser", "config_json"):
        assert not hasattr(inst, name)
    assert inst.MAX_ROWS == 100 and inst.APP_NAME == "quorvane"


def test_every_construction_makes_a_new_variables_list():
    a, b = cgv(), cgv()
    assert a.variables is not b.variables and a.variables is not gmod.g.variables


@pytest.mark.parametrize("make_name", [
    lambda d: "", lambda d: [], lambda d: (), lambda d: os.path.join(d, "absent.ini"),
    lambda d: os.fsencode(os.path.join(d, "absent.ini")), lambda d: pathlib.Path(d, "absent.ini"),
], ids=["empty-str", "empty-list", "empty-tuple", "missing-str", "missing-bytes", "missing-path"])
def test_name_of_nothing_readable_gives_empty_index(tmp_path, make_name):
    name = make_name(str(tmp_path))
    inst = cgv(name)
    assert list(cs.instance_dict(inst)) == ["variables", "filename", "parser", "config_json", "module"]
    assert inst.filename is name
    assert type(inst.parser) is configparser.ConfigParser and inst.parser.sections() == []
    assert inst.config_json == {} and inst.variables == []
    assert inst.module is defaults
    assert inst.MAX_ROWS == 100


@pytest.mark.parametrize("text, variables, index", [
    (MAIN_OTHER, ["MAXROWS", "NAME", "MAXROWS"], [("MAXROWS", "Other"), ("NAME", "Main")]),
    ("# shared by all\n[DEFAULT]\nShared = s\n" + MAIN_OTHER,
     ["MAXROWS", "NAME", "SHARED", "MAXROWS", "SHARED"],
     [("MAXROWS", "Other"), ("NAME", "Main"), ("SHARED", "Other")]),
    ("[DEFAULT]\nmax_rows = 5\nrate = 1\n", [], []),
    ("", [], []),
    ("; only a comment\n[Data Source]\nRate : 0.1\n[data source]\nrate = 2\n",
     ["RATE", "RATE"], [("RATE", "data source")]),
    ("[Größen]\nbreite = 3\nHöhe = 4\nçà = 5\n", ["BREITE", "HHE", ""],
     [("BREITE", "Größen"), ("HHE", "Größen"), ("", "Größen")]),
    ("[s]\nlong = first\n  second line\n\n  third\nafter = 1\n", ["LONG", "AFTER"], [("LONG", "s"), ("AFTER", "s")]),
], ids=["main-other", "with-default", "only-default", "empty-file", "section-case", "non-ascii", "multi-line"])
def test_option_index(tmp_path, text, variables, index):
    path = cs.write_ini(tmp_path, text)
    inst = cgv(path)
    assert inst.filename is path
    assert inst.variables == variables
    assert type(inst.config_json) is dict and list(inst.config_json.items()) == index
    assert set(inst.config_json) == set(inst.variables)
    parser_names = [o for s in inst.parser.sections() for o in inst.parser.options(s)]
    assert list(map(str.upper, cs.transliterate_names(parser_names))) == variables


@pytest.mark.parametrize("to_name", [str, os.fsencode, pathlib.Path, lambda p: [p], lambda p: iter([p])],
                         ids=["str", "bytes", "Path", "list", "iterator"])
@pytest.mark.parametrize("sample", ["pipeline.ini", "analytics.ini", "hotspot_login__.pylintrc"])
def test_data_files_match_reference(to_name, sample):
    cs.needs_utf8()
    name = to_name(cs.data(sample))
    inst, ref = cgv(name), cs.Reference(cs.data(sample))
    assert inst.filename is name
    assert inst.variables == ref.variables
    assert list(inst.config_json.items()) == list(ref.config_json.items())
    assert inst.parser.sections() == ref.parser.sections()


def test_list_of_files_is_read_in_order(tmp_path):
    extra = cs.write_ini(tmp_path, "[Limits]\nmax_rows = 900\n[Extra]\nrate = 0.75\n")
    names = [cs.data("analytics.ini"), extra]
    inst = cgv(names)
    assert inst.filename is names
    assert inst.parser.sections() == ["ingest", "sampling", "sampling.filters", "Limits", "Extra"]
    assert inst.config_json["MAX_ROWS"] == "Limits" and inst.config_json["RATE"] == "Extra"
    assert inst.MAX_ROWS == 900 and inst.RATE == 0.75


MALFORMED = [
    (b"max_rows = 5\n[Limits]\n", configparser.MissingSectionHeaderError),
    (b"[Limits]\na = 1\n[Other]\n[Limits]\nb = 2\n", configparser.DuplicateSectionError),
    (b"[Limits]\nx = 1\nX = 2\n", configparser.DuplicateOptionError),
    (b"[Limits]\nmax_rows = 1\n[Other]\nMax_Rows: 2\nmax_ROWS = 3\n", configparser.DuplicateOptionError),
    (b"[Limits]\nthis line is not an option\n", configparser.ParsingError),
    (b"[Limits]\nname = caf\xc3\n", UnicodeDecodeError),
]
with open(cs.data("CombineCSV__.editorconfig"), "rb") as _fh:  # root = true ahead of [*.cs]
    MALFORMED.append((_fh.read(), configparser.MissingSectionHeaderError))


@pytest.mark.parametrize("content, error", MALFORMED, ids=lambda v: getattr(v, "__name__", None))
def test_malformed_file_fails_in_read_and_yields_no_instance(tmp_path, content, error):
    if max(content) > 127:
        cs.needs_utf8()
    path = tmp_path / "bad.ini"
    path.write_bytes(content)
    with pytest.raises(error) as info:
        cgv(str(path))
    assert own_entries(info.value) == entries((INIT, 46))
    inst = new_instance()
    with pytest.raises(error):
        cgv.__init__(inst, str(path))
    assert list(cs.instance_dict(inst)) == ["variables", "filename", "parser"]


@pytest.mark.parametrize("name", [0, 2.5, object()])
def test_name_that_read_cannot_take(name):
    inst = new_instance()
    with pytest.raises(TypeError) as info:
        cgv.__init__(inst, name)
    assert own_entries(info.value) == entries((INIT, 46))
    assert inst.filename is name and type(inst.parser) is configparser.ConfigParser
    assert "module" not in cs.instance_dict(inst)


@pytest.mark.parametrize("call, message", [
    (lambda i: cgv.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda i: cgv.__init__(filename=None), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda i: cgv("a.ini", "b.ini"), "__init__() takes at most 2 positional arguments (3 given)"),
    (lambda i: cgv.__init__(i, "a.ini", "b.ini", "c.ini"), "__init__() takes at most 2 positional arguments (4 given)"),
    (lambda i: cgv(file="a.ini"), "__init__() got an unexpected keyword argument 'file'"),
    (lambda i: cgv.__init__(i, None, encoding="utf-8"), "__init__() got an unexpected keyword argument 'encoding'"),
    (lambda i: cgv("a.ini", filename="b.ini"), "__init__() got multiple values for keyword argument 'filename'"),
    (lambda i: cgv.__init__(i, self=i), "__init__() got multiple values for keyword argument 'self'"),
])
def test_init_argument_binding(call, message):
    inst = new_instance()
    with pytest.raises(TypeError) as info:
        call(inst)
    assert str(info.value) == message
    assert own_entries(info.value) == entries((INIT, 41))
    assert cs.instance_dict(inst) == {}


def test_init_keyword_names_must_be_strings():
    inst = new_instance()
    with pytest.raises(TypeError) as info:
        cgv.__init__(inst, **{1: "a.ini"})
    assert str(info.value) == "__init__() keywords must be strings"
    assert own_entries(info.value) == entries((INIT, 41))
    assert cs.instance_dict(inst) == {}


def test_second_init_without_file_keeps_the_file_state():
    cs.needs_utf8()
    inst = cgv(cs.data("pipeline.ini"))
    before = dict(cs.instance_dict(inst))
    assert cgv.__init__(inst, None) is None
    after = cs.instance_dict(inst)
    assert after["variables"] == [] and after["variables"] is not before["variables"]
    for name in ("filename", "parser", "config_json", "module"):
        assert after[name] is before[name]
    assert inst.MAX_ROWS == 250  # config_json is still there, so the file still counts


def test_calls_and_attribute_traffic_in_order(monkeypatch):
    log, replacement, inst = [], types.ModuleType("replacement_defaults"), new_instance()
    Fake = cs.fake_parser_class(log, {"Main": ["maxrows", "name"], "Other": ["maxrows"]})
    monkeypatch.setattr(gmod, "ConfigParser", Fake)

    def apply(options):
        is_parsers_list = options is cs.instance_dict(inst)["parser"].last_options
        log.append(("apply_unidecoding", is_parsers_list, list(options)))
        return [o + "_é" for o in options]  # what comes back is used, through str.upper
    monkeypatch.setattr(gmod, "apply_unidecoding", apply)
    monkeypatch.setattr(gmod, "importlib", types.SimpleNamespace(
        import_module=lambda *a, **k: log.append(("import_module", a, k)) or replacement))
    for name in RESERVED:
        monkeypatch.setattr(cgv, name, cs.Traced(name, log), raising=False)
    assert cgv.__init__(inst, "settings.ini") is None
    per_name = [("get", "config_json"), ("get", "variables")]
    assert log == [
        ("set", "variables"), ("set", "filename"), ("ConfigParser", (), {}), ("set", "parser"),
        ("get", "parser"), ("get", "filename"), ("read", ("settings.ini",), {}),
        ("set", "config_json"), ("get", "parser"), ("sections",),
        ("get", "parser"), ("options", "Main"), ("apply_unidecoding", True, ["maxrows", "name"]),
    ] + per_name * 2 + [
        ("get", "parser"), ("options", "Other"), ("apply_unidecoding", True, ["maxrows"]),
    ] + per_name + [
        ("import_module", (".global_var.global_var",), {"package": "quorvane"}), ("set", "module"),
    ]
    own = cs.instance_dict(inst)
    assert own["variables"] == ["MAXROWS_É", "NAME_É", "MAXROWS_É"]
    assert own["config_json"] == {"MAXROWS_É": "Other", "NAME_É": "Main"}
    assert own["module"] is replacement and own["filename"] == "settings.ini"


class UpperIgnored(str):
    def upper(self):
        return "WRONG"


def test_names_are_upper_cased_with_str_upper(monkeypatch):
    Fake = cs.fake_parser_class([], {"Main": ["a"]})
    monkeypatch.setattr(gmod, "ConfigParser", Fake)
    monkeypatch.setattr(gmod, "apply_unidecoding", lambda options: [UpperIgnored("rate"), "ß"])
    inst = cgv("x.ini")
    assert inst.variables == ["RATE", "SS"] and type(inst.variables[0]) is str


class Unappendable(object):
    def append(self, item):
        raise RuntimeError("append refused")


def refuse(self, value):
    raise RuntimeError("write refused")


def accept(self, value):
    pass


def no_defaults(*args, **kwargs):
    raise ImportError("defaults module unavailable")


DELETE = object()
FAILURES = [  # line, exception, fake parser method that raises, patches, variables afterwards
    (42, RuntimeError, None, [(cgv, "variables", property(lambda s: [], refuse))], None),
    (44, RuntimeError, None, [(cgv, "filename", property(lambda s: "x.ini", refuse))], []),
    (45, NameError, None, [(gmod, "ConfigParser", DELETE)], []),
    (46, RuntimeError, "read", [], []),
    (47, RuntimeError, None, [(cgv, "config_json", property(lambda s: {}, refuse))], []),
    (48, RuntimeError, "sections", [], []),
    (48, RuntimeError, "midway", [], ["MAXROWS", "NAME"]),
    (49, RuntimeError, "options", [], []),
    (50, NameError, None, [(gmod, "apply_unidecoding", DELETE)], []),
    (51, TypeError, None, [(gmod, "apply_unidecoding", lambda options: 7)], []),
    (51, TypeError, None, [(gmod, "apply_unidecoding", lambda options: ["ok", 7])], ["OK"]),
    (52, TypeError, None, [(cgv, "config_json", property(lambda s: types.MappingProxyType({}), accept))], []),
    (53, RuntimeError, None, [(cgv, "variables", property(lambda s: Unappendable(), accept))], None),
    (54, NameError, None, [(gmod, "importlib", DELETE)], ["MAXROWS", "NAME", "RATE"]),
    (54, ImportError, None, [(gmod, "importlib", types.SimpleNamespace(import_module=no_defaults))],
     ["MAXROWS", "NAME", "RATE"]),
]


@pytest.mark.parametrize("line, error, fail, patches, variables", FAILURES)
def test_failure_at_each_step_keeps_what_was_written(monkeypatch, line, error, fail, patches, variables):
    Fake = cs.fake_parser_class([], {"Main": ["maxrows", "name"], "Other": ["rate"]}, fail)
    if fail == "midway":
        def sections(self):
            yield "Main"
            raise RuntimeError("sections broke off")
        Fake.sections = sections
    monkeypatch.setattr(gmod, "ConfigParser", Fake)
    for target, attr, value in patches:
        if value is DELETE:
            monkeypatch.delattr(target, attr)
        else:
            monkeypatch.setattr(target, attr, value, raising=False)
    inst = new_instance()
    with pytest.raises(error) as info:
        cgv.__init__(inst, "x.ini")
    assert own_entries(info.value) == entries((INIT, line))
    on_class = [attr for target, attr, _ in patches if target is cgv]
    steps = [("variables", 42), ("filename", 44), ("parser", 45), ("config_json", 47)]
    assert list(cs.instance_dict(inst)) == [n for n, at in steps if at < line and n not in on_class]
    if variables is not None:
        assert inst.variables == variables
