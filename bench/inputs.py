"""Inputs of the benchmarks, made the same way on every run.

- settings.ini: a small settings file of the kind the package reads, whose
  [Limits] section overrides MAX_ROWS with 250 (case P3);
- large.ini: 5,000 options in 50 sections, a few of them with names outside
  ASCII (case P6);
- nested_template(): a 10,000-element structure of records (dicts and lists
  holding strs, ints and floats) for apply_unidecoding (case P5);
- the strs of cases P4a and P4b and the missing setting name of case P2;
- same(), by which every benchmark compares the results of the module, the
  twin and the floor before it measures them.

Everything comes from a seeded random generator, so the files are identical
from run to run and across interpreters; they are rewritten only when their
text changes.
"""

import os
import random

SETTINGS_INI = "settings.ini"
LARGE_INI = "large.ini"

LARGE_SECTIONS = 50
LARGE_OPTIONS_PER_SECTION = 100
NESTED_ELEMENTS = 10000

# The setting that case P3 reads, where settings.ini holds it, and its value.
P3_SETTING = "MAX_ROWS"
P3_SECTION = "Limits"
P3_VALUE = 250

# The strs that cases P4a and P4b transliterate.
ASCII_TEXT = "Quarterly report for the northern region, batch 42 of 97"
NON_ASCII_TEXT = "Crème brûlée für Zürich — São Paulo, Kraków, Ærø (東京)"

# A name the defaults module lacks (case P2).
MISSING_NAME = "NO_SUCH_SETTING"

SETTINGS_TEXT = """\
# Settings of a nightly import run.

[Application]
app_name = nightly-import
verbose = yes
strict_mode = off

[Input]
input_dir = /srv/import/incoming
input_encoding = latin-1
header_lines = 2
skip_blank_lines = true

[Limits]
max_rows = 250
max_columns = 48
batch_size = 2000
worker_count = 2
min_fill_ratio = 0.4

[Remote sources]
timeout_seconds = 12.5
retry_delay_seconds = 3
max_retries = 5

[Output]
output_dir = /srv/import/done
float_precision = 3
compress_output = yes
"""

_WORDS = (
    "account", "address", "amount", "archive", "batch", "buffer", "cache",
    "channel", "client", "column", "country", "currency", "customer", "delay",
    "delimiter", "device", "discount", "domain", "export", "field", "filter",
    "format", "header", "host", "import", "index", "invoice", "journal",
    "label", "ledger", "limit", "locale", "margin", "order", "owner", "packet",
    "partner", "period", "port", "price", "queue", "quota", "region", "report",
    "retry", "route", "sample", "schema", "session", "shard", "source",
    "status", "supplier", "tariff", "template", "threshold", "timeout",
    "token", "unit", "vendor", "volume", "warehouse", "weight", "window",
)
# Option names a German, French or Spanish team would write.
_WORDS_NON_ASCII = (
    "größe", "straße", "gebühr", "länge", "prüfung", "durée", "délai",
    "entrée", "événement", "clé", "año", "tamaño", "región", "número",
)
_STRING_VALUES = (
    "/var/lib/quorvane/cache", "eu-west", "orders_{date}.csv", "utf-8",
    "https://intranet.example/api", "nightly", "Europe/Berlin", "a;b;c",
)
_FIRST_NAMES = (
    "Anna", "Björn", "Chloé", "David", "Elif", "François", "Greta", "Hugo",
    "Ingrid", "Jürgen", "Karin", "Łukasz", "Maria", "Noémie", "Oscar",
    "Paul", "René", "Sofia", "Thomas", "Zoë",
)
_LAST_NAMES = (
    "Andersson", "Brandt", "Çelik", "Dubois", "Eriksen", "Fernández",
    "García", "Hoffmann", "Jansen", "Kowalski", "Lefèvre", "Müller", "Novák",
    "Olsen", "Peña", "Schröder", "Smith", "Weiß",
)
_CITIES = (
    "Amsterdam", "Berlin", "Bordeaux", "Dublin", "Gdańsk", "Göteborg",
    "København", "Kraków", "Lisboa", "London", "Málaga", "München", "Oslo",
    "Praha", "Reykjavík", "São Paulo", "Wien", "Zürich",
)
_COUNTRIES = (
    "Deutschland", "España", "France", "Ireland", "Nederland", "Norge",
    "Polska", "Sverige", "Österreich", "Česko",
)
_STREETS = (
    "Hauptstraße", "Rue de la Paix", "High Street", "Calle Mayor",
    "Kungsgatan", "Nowy Świat", "Damrak", "Bahnhofplatz",
)
_TAGS = (
    "priority", "wholesale", "retail", "überfällig", "export", "b2b",
    "newsletter", "réclamation", "vip", "archived",
)


def settings_text():
    return SETTINGS_TEXT


def large_text():
    """50 sections of 100 options each; names are unique within a section
    (after the parser folds them to lower case) and repeat across sections,
    as in real files."""
    rng = random.Random(20240611)
    lines = ["# Generated: {} sections of {} options.".format(
        LARGE_SECTIONS, LARGE_OPTIONS_PER_SECTION)]
    for s in range(LARGE_SECTIONS):
        lines.append("")
        lines.append("[Pipeline stage {:02d}]".format(s))
        names = set()
        while len(names) < LARGE_OPTIONS_PER_SECTION:
            words = _WORDS_NON_ASCII if rng.random() < 0.05 else _WORDS
            name = "{}_{}".format(rng.choice(words), rng.choice(_WORDS))
            if rng.random() < 0.5:
                name += "_{}".format(rng.randrange(10))
            names.add(name)
        for name in sorted(names):
            kind = rng.randrange(4)
            if kind == 0:
                value = str(rng.randrange(100000))
            elif kind == 1:
                value = "{:.3f}".format(rng.uniform(0, 1000))
            elif kind == 2:
                value = rng.choice(("yes", "no", "on", "off", "true", "false"))
            else:
                value = rng.choice(_STRING_VALUES)
            lines.append("{} = {}".format(name, value))
    return "\n".join(lines) + "\n"


def _write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as fh:
            if fh.read() == text:
                return
    except OSError:
        pass
    tmp = "{}.tmp.{}".format(path, os.getpid())
    with open(tmp, "w", encoding="utf-8") as fh:
        fh.write(text)
    os.replace(tmp, path)


def ensure_files(directory):
    """Write the INI files into directory (created if needed)."""
    os.makedirs(directory, exist_ok=True)
    _write_if_changed(os.path.join(directory, SETTINGS_INI), settings_text())
    _write_if_changed(os.path.join(directory, LARGE_INI), large_text())


def nested_template():
    """A list of 500 customer records, 10,000 elements in all (every str,
    int, float, dict and list below the top-level list counts as one):

        {"id": int, "name": str, "city": str, "score": float,
         "tags": [str, str, str],
         "address": {"street": str, "zip": int, "country": str},
         "history": [{"year": int, "value": float}, {...}]}
    """
    rng = random.Random(7)
    records = []
    for n in range(NESTED_ELEMENTS // 20):
        records.append({
            "id": 100000 + n,
            "name": "{} {}".format(rng.choice(_FIRST_NAMES), rng.choice(_LAST_NAMES)),
            "city": rng.choice(_CITIES),
            "score": round(rng.uniform(0, 100), 2),
            "tags": rng.sample(_TAGS, 3),
            "address": {
                "street": "{} {}".format(rng.choice(_STREETS), rng.randrange(1, 200)),
                "zip": rng.randrange(10000, 99999),
                "country": rng.choice(_COUNTRIES),
            },
            "history": [
                {"year": year, "value": round(rng.uniform(0, 5000), 2)}
                for year in (2022, 2023)
            ],
        })
    assert count_elements(records) == NESTED_ELEMENTS
    return records


def count_elements(value):
    """Number of values nested inside value (dict values and list items, at
    any depth), value itself not counted."""
    if isinstance(value, dict):
        children = value.values()
    elif isinstance(value, list):
        children = value
    else:
        return 0
    return sum(1 + count_elements(child) for child in children)


def rebuild(value):
    """A fresh copy of the dicts and lists of value; the strs and numbers
    they hold are immutable and shared.  apply_unidecoding changes dicts and
    lists in place, so every timed call gets its own copy."""
    if type(value) is list:
        return [rebuild(item) for item in value]
    if type(value) is dict:
        return {key: rebuild(item) for key, item in value.items()}
    return value


def same(a, b):
    """Equal values of the same types, at every level of nesting."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b
