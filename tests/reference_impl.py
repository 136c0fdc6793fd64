"""apply_unidecoding and config_global_var written out in plain Python, as the
oracle of the differential tests, with helpers to run a call and describe
everything it left behind.

namespace(mod) makes a module-like dict holding the names the functions read
at each use (ConfigParser, importlib, unidecode, traceback,
apply_unidecoding, config_global_var), so that a test can rebind or delete
them in the reference exactly as it does in the extension's module dict.
"""
import builtins
import contextlib
import io
import re

SOURCE = '''
# The builtins the extension captures once, at import.
_object, _enumerate, _map, _ValueError = object, enumerate, map, ValueError


def apply_unidecoding(object):
    """Reference of apply_unidecoding."""
    try:
        if isinstance(object, str):
            try:
                return unidecode(object.decode("utf-8"))
            except:
                try:
                    return unidecode(object.decode("utf-8", "ignore"))
                except:
                    return unidecode(object.encode("ascii", "ignore").decode("ascii", "ignore"))
        if isinstance(object, dict):
            for key in object:
                object[key] = apply_unidecoding(object[key])
        if isinstance(object, list):
            for i, o in _enumerate(object):
                object[i] = apply_unidecoding(o)
        if isinstance(object, (float, int)):
            object = str(object)
    except Exception as e:
        traceback.print_exc()
    return object

class config_global_var(_object):
    def __init__(self, filename=None):
        self.variables = []
        if filename is not None:
            self.filename = filename
            self.parser = ConfigParser()
            self.parser.read(self.filename)
            self.config_json = {}
            for section in self.parser.sections():
                options = self.parser.options(section)
                options_decoded = apply_unidecoding(options)
                for x in _map(str.upper, options_decoded):
                    self.config_json[x] = section
                    self.variables.append(x)
        self.module = importlib.import_module(".global_var.global_var", package="quorvane")

    def __getattribute__(self, item):
        for name in ("filename", "parser", "config_json", "module", "variables"):
            if item is name or item == name:
                return _object.__getattribute__(self, item)
        result = getattr(self.module, item, None)
        if result is None:
            return result
        if not (issubclass(type(result), (int, float, complex)) or isinstance(result, bool)):
            return result
        try:
            self.config_json
        except BaseException:
            return result
        upper = item.upper()
        if upper not in self.config_json:
            return result
        section_name = self.config_json[upper]
        try:
            if isinstance(result, bool):
                return self.parser.getboolean(section_name, item)
            if isinstance(result, int):
                return self.parser.getint(section_name, item)
            if isinstance(result, float):
                return self.parser.getfloat(section_name, item)
            return None
        except _ValueError as e:
            return None

'''

RESERVED = ("filename", "parser", "config_json", "module", "variables")
GLOBALS = ("ConfigParser", "importlib", "unidecode", "traceback",
           "apply_unidecoding", "config_global_var")


def namespace(mod):
    """A fresh reference namespace over the current bindings of `mod`."""
    ns = {"__builtins__": builtins, "__name__": "reference"}
    for name in GLOBALS[:4]:
        ns[name] = mod.__dict__[name]
    exec(SOURCE, ns)
    return ns


@contextlib.contextmanager
def saved_globals(mod):
    """Puts the module's globals back as they were, whatever a test did."""
    saved = {name: mod.__dict__[name] for name in GLOBALS}
    try:
        yield
    finally:
        for name in GLOBALS:
            mod.__dict__[name] = saved[name]


SUGGESTION = re.compile(r"\. Did you mean: .*\?$")


def printed(text):
    """The exception lines of printed tracebacks ("Type: message"), without
    the entries, whose file names and lines differ by design."""
    return [SUGGESTION.sub("", line) for line in text.splitlines()
            if line and not line[0].isspace() and not line.startswith("Traceback (")
            and not line.startswith(("During handling", "The above exception"))]


def describe(value, seen=None):
    """A comparable picture of a value: containers by type name and contents,
    strs by type name and text, anything else by type name and repr."""
    seen = set() if seen is None else seen
    if id(value) in seen:
        return "<cycle>"
    name = type(value).__name__
    if isinstance(value, (list, dict)):
        seen = seen | {id(value)}
        if isinstance(value, list):
            return name, [describe(v, seen) for v in list.__iter__(value)]
        return name, [(describe(k, seen), describe(v, seen)) for k, v in dict.items(value)]
    if isinstance(value, str):
        return name, str.__str__(value)
    if isinstance(value, BaseException):
        return name, str(value)
    if isinstance(value, (int, float, complex, bytes, tuple, type(None))):
        return name, repr(value)
    return name


def run(call):
    """(how it ended, describe(result or exception), printed exception lines)."""
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        try:
            ended = ("returned", describe(call()))
        except BaseException as exc:  # every class, BaseException included
            ended = ("raised", describe(exc))
    return ended + (printed(err.getvalue()),)
