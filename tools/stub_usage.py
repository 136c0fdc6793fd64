"""What a type checker sees through quorvane/global_var/globals.pyi.

Never run: `make stubtest` (tools/run_stubtest.sh) checks this file with mypy
after stubtest, under every interpreter it checks.  Each assert_type states
the type a call gives; each `type: ignore[code]` marks a call that must be
rejected (mypy runs with --warn-unused-ignores, so an ignore that no longer
hides an error fails the check too).
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from typing_extensions import assert_type

from quorvane.global_var.globals import apply_unidecoding, config_global_var, g

# apply_unidecoding: a str for a str or a number (a bool is an int) ...
assert_type(apply_unidecoding("Crème"), str)
assert_type(apply_unidecoding(7), str)
assert_type(apply_unidecoding(2.5), str)
assert_type(apply_unidecoding(True), str)

# ... a list or dict with what it holds as Any: the numbers inside become
# strs, so a list of ints does not come back as one ...
ints: list[int] = [1, 2, 3]
assert_type(apply_unidecoding(ints), "list[Any]")
assert_type(sum(apply_unidecoding(ints)), Any)
counts: dict[str, int] = {"a": 1}
assert_type(apply_unidecoding(counts), "dict[str, Any]")

# ... and anything else unchanged.
assert_type(apply_unidecoding(("é", 1)), "tuple[str, int]")
assert_type(apply_unidecoding(None), None)
assert_type(apply_unidecoding(3j), complex)
assert_type(apply_unidecoding(b"x"), bytes)

# config_global_var: generic over the filename it was built with.
assert_type(config_global_var(), "config_global_var[None]")
assert_type(config_global_var(None), "config_global_var[None]")
assert_type(g, "config_global_var[None]")
assert_type(config_global_var("a.ini").filename, str)
assert_type(config_global_var(Path("a.ini")).filename, Path)
assert_type(config_global_var(["a.ini", "b.ini"]).filename, "list[str]")
assert_type(g.variables, "list[str]")
assert_type(g.MAX_ROWS, Any)
config_global_var(42)  # type: ignore[call-overload]
