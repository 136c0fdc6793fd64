"""What a type checker sees through quorvane/global_var/globals.pyi.

Never run: `make stubtest` (tools/run_stubtest.sh) checks this file with mypy
after stubtest, under every interpreter it checks.  Each assert_type states
the type a call gives; each `type: ignore[code]` marks a call that must be
rejected (mypy runs with --warn-unused-ignores, so an ignore that no longer
hides an error fails the check too).
"""

from __future__ import annotations

from decimal import Decimal
from pathlib import Path
from typing import Any, Mapping, MutableSequence, Sequence

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

# ... a value typed so that it may be a list or a dict at run time (an
# abstract collection, object, a union holding one) as Any: whatever it
# held, its numbers may have become strs, so code that relies on its old
# item types is not passed ...
def total(xs: MutableSequence[float]) -> float:
    return sum(apply_unidecoding(xs))  # type: ignore[no-any-return]


def first(m: Mapping[str, int]) -> int:
    return apply_unidecoding(m)["a"] + 1  # type: ignore[no-any-return]


def anything(o: object, rows: Sequence[int] | None) -> None:
    assert_type(apply_unidecoding(o), Any)
    assert_type(apply_unidecoding(rows), "Any | None")


# ... and a value that cannot be a list or a dict unchanged, its type kept
# (a complex may hold an int or a float, which come back as strs).
assert_type(apply_unidecoding(("é", 1)), "tuple[str, int]")
assert_type(apply_unidecoding(None), None)
assert_type(apply_unidecoding(3j), "str | complex")
assert_type(apply_unidecoding(b"x"), bytes)
assert_type(apply_unidecoding(frozenset({1})), "frozenset[int]")
assert_type(apply_unidecoding(Decimal("1.5")), Decimal)

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
