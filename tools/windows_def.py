"""Writes the module-definition (.def) file of pythonXY.dll from the headers.

    python tools/windows_def.py INCLUDE_DIR DLL_NAME OUT.def

On Windows every function and variable that CPython's headers declare with
PyAPI_FUNC / PyAPI_DATA is exported from pythonXY.dll (the headers make them
__declspec(dllexport) while the DLL is built), and nothing else is.  This
script collects those names from every header under INCLUDE_DIR, so that
dlltool can turn the list into an import library to link extensions against
without the DLL.

The headers are read as text: comments and preprocessor lines are dropped,
then each PyAPI_FUNC(type) / PyAPI_DATA(type) declaration is read up to its
';' (declarations may span lines).  The declared name is the identifier
before the parameter list for a function (a few headers declare functions
with PyAPI_DATA; they are exported as functions all the same), else the last
identifier before ';', '[', '=' or ',' (for "PyAPI_DATA(int)
(*PyOS_InputHook)(void)" the one inside the parentheses).

Conditions (#ifdef ...) are not evaluated, so the list also holds names that
are declared only elsewhere (HAVE_FORK, the WASI pthread stubs, debug
builds).  That does not let a wrong call through: an extension compiled with
the Windows pyconfig.h sees those declarations no more than the DLL did, and
a name it does see was exported by the DLL as well (the core build sees a
superset of the declarations).

A header may rename a declared function with an object-like macro
(modsupport.h: "#define PyArg_ParseTuple _PyArg_ParseTuple_SizeT" under
PY_SSIZE_T_CLEAN); when the headers neither declare nor define the new name,
calls go to the DLL under that name, and the list has it too.  A new name
that the headers define (3.12's "#define PyUnstable_Long_IsCompact
_PyLong_IsCompact", a static inline function) is no export.
"""

import os
import re
import sys

COMMENT_OR_STRING = re.compile(
    r'/\*.*?\*/|//[^\n]*|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
DECL = re.compile(r"\bPyAPI_(FUNC|DATA)\s*\(")
ALIAS = re.compile(r"^\s*#\s*define\s+([A-Za-z_]\w*)\s+([A-Za-z_]\w*)\s*$")
# "name(parameters) {": a function defined in a header (static inline).
DEFINITION = re.compile(r"\b([A-Za-z_]\w*)\s*\([^;{}]*\)\s*\{")
# Words that can stand between the type and the name or the parameter list
# without being the name.
NOT_A_NAME = {"const", "volatile", "struct", "union", "enum", "unsigned",
              "signed"}
# Attribute macros with arguments that may stand before the name.
ATTRIBUTE_CALL = re.compile(r"\b(?:Py_DEPRECATED|Py_GCC_ATTRIBUTE|_Py_NO_SANITIZE_\w+)\s*"
                            r"\((?:[^()]|\([^()]*\))*\)")


def strip_comments(text):
    def keep_strings(m):
        s = m.group(0)
        if s.startswith("/*"):
            # Keep line structure, so directives stay on lines of their own.
            return " " + "\n" * s.count("\n")
        if s.startswith("//"):
            return " "
        return s
    return COMMENT_OR_STRING.sub(keep_strings, text)


def split_directives(text):
    """(code without preprocessor lines, list of logical directive lines)."""
    text = text.replace("\\\r\n", " ").replace("\\\n", " ")
    code, directives = [], []
    for line in text.split("\n"):
        if line.lstrip().startswith("#"):
            directives.append(line)
            code.append("")
        else:
            code.append(line)
    return "\n".join(code), directives


def balanced_end(text, open_pos):
    """Index just past the parenthesis that closes the one at open_pos."""
    depth = 0
    for i in range(open_pos, len(text)):
        c = text[i]
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth == 0:
                return i + 1
    raise ValueError("unbalanced parentheses")


def read_declarator(rest):
    """(name, is_function) of the declarator text after PyAPI_xxx(type)."""
    rest = ATTRIBUTE_CALL.sub(" ", rest)
    stop = re.search(r"[(;\[=,]", rest + ";")
    names = [n for n in IDENT.findall(rest[:stop.start()]) if n not in NOT_A_NAME]
    if stop.group(0) == "(" and names:
        return names[-1], True            # name(parameters)
    if stop.group(0) == "(":
        inner = re.match(r"\(\s*\*\s*([A-Za-z_]\w*)\s*\)", rest[stop.start():])
        return (inner.group(1), False) if inner else (None, False)   # (*name)(...)
    return (names[-1] if names else None), False


def declared_names(code, where):
    """[(name, is_data)] for each PyAPI_FUNC / PyAPI_DATA declaration."""
    found = []
    for m in DECL.finditer(code):
        kind = m.group(1)
        type_end = balanced_end(code, m.end() - 1)
        end = len(code)
        for stop in ";{":
            i = code.find(stop, type_end)
            if i != -1:
                end = min(end, i)
        name, is_function = read_declarator(code[type_end:end])
        if name is None or (kind == "FUNC" and not is_function):
            line = code.count("\n", 0, m.start()) + 1
            raise SystemExit("windows_def: %s:%d: cannot read the name declared by "
                             "PyAPI_%s%s" % (where, line, kind, code[m.end() - 1:end]))
        # Some headers declare functions with PyAPI_DATA; the DLL exports
        # them as the functions they are.
        found.append((name, not is_function))
    return found


def main(argv):
    if len(argv) != 4:
        raise SystemExit("usage: %s INCLUDE_DIR DLL_NAME OUT.def" % argv[0])
    include_dir, dll_name, out_path = argv[1:]

    exports = {}  # name -> is_data
    aliases = {}
    defined = set()
    for root, dirs, files in os.walk(include_dir, followlinks=True):
        dirs.sort()
        for fname in sorted(files):
            if not fname.endswith(".h"):
                continue
            path = os.path.join(root, fname)
            with open(path, encoding="utf-8", errors="replace") as f:
                code, directives = split_directives(strip_comments(f.read()))
            for line in directives:
                a = ALIAS.match(line)
                if a:
                    aliases.setdefault(a.group(1), set()).add(a.group(2))
            defined.update(DEFINITION.findall(code))
            rel = os.path.relpath(path, include_dir)
            for name, is_data in declared_names(code, rel):
                exports[name] = exports.get(name, False) or is_data

    for name in list(exports):
        for target in aliases.get(name, ()):
            if target not in defined:
                exports.setdefault(target, exports[name])

    # A sanity floor: every CPython 3 header set declares well over 1000.
    if len(exports) < 1000 or "Py_IncRef" not in exports or "PyExc_TypeError" not in exports:
        raise SystemExit("windows_def: only %d names found under %s; is it CPython's "
                         "include directory?" % (len(exports), include_dir))

    text = "LIBRARY %s\nEXPORTS\n" % dll_name + "".join(
        "    %s%s\n" % (name, " DATA" if exports[name] else "") for name in sorted(exports))
    # Rewritten only when it changes, so that what is made from it is not.
    try:
        with open(out_path, encoding="ascii") as f:
            unchanged = f.read() == text
    except OSError:
        unchanged = False
    if not unchanged:
        with open(out_path + ".tmp", "w", encoding="ascii") as out:
            out.write(text)
        os.replace(out_path + ".tmp", out_path)
    print("%s: %d names (%d data)%s" % (out_path, len(exports), sum(exports.values()),
                                       ", unchanged" if unchanged else ""))


if __name__ == "__main__":
    main(sys.argv)
