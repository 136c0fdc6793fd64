"""Default settings of the quorvane package.

Every public attribute of this module is a setting, and its value here is
the setting's default.  The package reads its settings through a
``quorvane.global_var.globals.config_global_var`` instance, never from this
module directly::

    from quorvane.global_var.globals import config_global_var

    settings = config_global_var("pipeline.ini")
    settings.MAX_ROWS      # 100 here, or the file's max_rows converted to int

An instance built without a file answers every setting with the default
below.  An instance built from an INI file lets the file override the
settings whose default is a number or a boolean:

* the file's option is looked up by the setting name, without regard to
  case and in whichever section it appears (the last section wins when the
  name occurs in several), so ``max_rows = 250`` in any section overrides
  ``MAX_ROWS`` below;
* the option text is converted to the type of the default: ``int`` settings
  need a whole number, ``float`` settings any number, ``bool`` settings one
  of yes/no, on/off, true/false or 1/0;
* an option text that does not convert makes the setting read as None, not
  as its default.

Settings whose default is a str, a list or any other non-numeric value are
fixed here; the file cannot change them.  A name that is not defined here
reads as None.

The names filename, parser, config_json, module and variables belong to the
settings object itself and must not be used for settings.
"""

# -- Application ---------------------------------------------------------

#: Name used in log records and in the header of generated reports.
APP_NAME = "quorvane"

#: Print progress information for every processed batch.
VERBOSE = False

#: Abort a run on the first malformed record instead of skipping it.
STRICT_MODE = True

# -- Input -----------------------------------------------------------------

#: Directory scanned for input files, relative to the working directory.
INPUT_DIR = "data/input"

#: Glob patterns of the input files that are picked up.
INPUT_PATTERNS = ["*.csv", "*.tsv", "*.txt"]

#: Text encoding of the input files.
INPUT_ENCODING = "utf-8"

#: Field delimiter of delimited input files.
CSV_DELIMITER = ","

#: Cell texts that are read as a missing value.
NULL_MARKERS = ["", "NA", "N/A", "null", "None"]

#: Skip lines that hold nothing but blanks.
SKIP_BLANK_LINES = True

#: Number of header lines to skip at the top of each input file.
HEADER_LINES = 1

# -- Processing ------------------------------------------------------------

#: Largest number of rows read from one input file; the rest is ignored.
MAX_ROWS = 100

#: Largest number of columns kept per row.
MAX_COLUMNS = 64

#: Rows handed to a worker at a time.
BATCH_SIZE = 500

#: Number of worker processes; 1 processes everything in the calling process.
WORKER_COUNT = 4

#: Fraction of the rows that is sampled for the quick statistics.
RATE = 0.5

#: Smallest share of non-missing cells for a column to be kept.
MIN_FILL_RATIO = 0.25

#: Seed of the sampling random generator, for reproducible runs.
RANDOM_SEED = 20240101

#: Format of date columns, in strftime notation.
DATE_FORMAT = "%Y-%m-%d"

# -- Remote sources --------------------------------------------------------

#: Seconds to wait for a remote source before giving up.
TIMEOUT_SECONDS = 30.0

#: Seconds to wait between two attempts at a remote source.
RETRY_DELAY_SECONDS = 1.5

#: Attempts at a remote source after the first one failed.
max_retries = 3

# -- Output ----------------------------------------------------------------

#: Directory that receives the processed files and reports.
OUTPUT_DIR = "data/output"

#: Name pattern of the report file; {date} is replaced by the run date.
REPORT_NAME = "report_{date}.csv"

#: Digits after the decimal point in written floating-point numbers.
FLOAT_PRECISION = 6

#: Compress the written files with gzip.
COMPRESS_OUTPUT = False
