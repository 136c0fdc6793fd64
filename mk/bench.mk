# Benchmarks: the extension next to its plain-Python twin (bench/twin.py) and
# the library calls underneath, on every interpreter.  See bench/README.md.
#
#   make bench                  time every interpreter in turn, then write
#                               bench/RESULTS.md and bench/ratios.png
#   make bench VERSIONS=3.11    only these interpreters (the report covers
#                               only them)
#   make bench BENCH_FAST=1     smoke run: one value per benchmark, in one
#                               process per interpreter; report in
#                               build/bench/smoke/, bench/ is left alone
#   make bench BENCH_ARGS="--cases P3,P6 --rounds 5"
#                               extra arguments for bench/run_bench.py
#                               (its own and pyperf's)
#
# cp313t (the free-threaded 3.13) is timed like the others, under its own tag
# (build/bench-venv-cp313t/, cp313t.json); its ratios have no targets in the
# report.
#
# Layout: build/bench-venv-cpXY/ is the interpreter's benchmark environment
# (pyperf, unidecode), build/plot-venv/ the newest interpreter's with
# matplotlib for the report; the INI inputs, the per-interpreter summaries
# (cpXY.json) and pyperf's files of all values (cpXY-pyperf.json) go to
# build/bench/.
#
#   make bench-instructions     instructions per operation, counted with
#                               valgrind's callgrind (apt-get installs it when
#                               missing): the default and the public-API-only
#                               builds, the twin and the floors, on 3.11, 3.13
#                               and 3.13t; writes the section "Instructions per
#                               operation" of bench/RESULTS.md (make bench
#                               keeps it) and bench/instructions.png
#   make bench-instructions VERSIONS="3.12 3.13"
#                               these interpreters instead (any that make
#                               finds; the report covers only them)
#   make bench-instructions INSTR_CASES=P4a INSTR_VARIANTS=default,twin
#                               a quick look: only these cases (P1 ... P6, R1,
#                               R2, R4) and variants (default, public, twin,
#                               floor); the report goes to
#                               build/bench/instructions/quick/, bench/ is
#                               left alone, as with INSTR_ARGS
#   make bench-instructions VERSIONS=3.11 INSTR_ARGS="--ext mine=PATH --keep"
#                               extra arguments for bench/instructions.py:
#                               here a further build to count (PATH: an
#                               extension file for that interpreter, or a
#                               directory holding the quorvane package), and
#                               callgrind's files kept for callgrind_annotate
#   make bench-instructions INSTR_JOBS=1
#                               callgrind runs at a time (default: cores)
#
# Instruction counts do not depend on the machine's load, so the callgrind
# runs of an interpreter run side by side.  The public-API-only builds are
# made in build/public-cpXY/ and, unlike with make PUBLIC_API_ONLY=1, not
# copied into the package: bench/instructions.py imports each build from a
# package copy of its own.  Layout: build/bench/instructions/cpXY.json (the
# counts), build/bench/instructions/cpXY/ (inputs, package copies, callgrind's
# files).

BENCH_SRC := $(ROOT)/bench
BENCH_REQUIREMENTS := $(BENCH_SRC)/requirements-bench.txt
PLOT_REQUIREMENTS := $(BENCH_SRC)/requirements-plot.txt
PLOT_VENV := $(BUILD)/plot-venv
BENCH_FAST ?=
BENCH_ARGS ?=

ifeq ($(BENCH_FAST),)
BENCH_OUT := $(BUILD)/bench
BENCH_REPORT_DIR := $(BENCH_SRC)
BENCH_RUN_ARGS := --quiet
else
# One process per interpreter that times each benchmark once (pyperf's worker
# mode) for about 1 ms: seconds in all, enough to see that everything runs.
BENCH_OUT := $(BUILD)/bench/smoke
BENCH_REPORT_DIR := $(BENCH_OUT)
BENCH_RUN_ARGS := --worker --loops=1 --warmups=0 --values=1 --rounds=1 --min-time=0.001
endif

# The plot environment always uses the newest interpreter with the GIL on
# the machine (matplotlib's dependencies need not have wheels for cp313t),
# whatever VERSIONS selects, so that it is made once.  Looked up only when
# the recipe runs.
PLOT_PYTHON = $(lastword $(subst =, ,$(lastword $(foreach w,$(shell VERSIONS= bash $(ROOT)/tools/find_pythons.sh 2>/dev/null),$(if $(filter %t,$(firstword $(subst =, ,$(w)))),,$(w))))))

.PHONY: bench bench-venvs plot-venv bench-instructions instr-valgrind

define bench_interpreter_rules
.PHONY: bench-venv-$(1)
bench-venv-$(1):
	@bash $(ROOT)/tools/ensure_venv.sh $(BUILD)/bench-venv-$(1) $(2) $(BENCH_REQUIREMENTS)
endef
$(foreach t,$(TAGS),$(eval $(call bench_interpreter_rules,$(t),$(call python_of,$(t)))))

bench-venvs: $(addprefix bench-venv-,$(TAGS))

plot-venv:
	@bash $(ROOT)/tools/ensure_venv.sh $(PLOT_VENV) $(PLOT_PYTHON) $(PLOT_REQUIREMENTS)

# The interpreters run one after the other, never side by side: on two cores
# a second benchmark would be timed against the first one's load.  For the
# same reason a second `make bench` in this tree waits for the first one to
# finish (flock on build/bench.lock, where flock exists).
bench: build venvs bench-venvs plot-venv
	@exec 9>$(BUILD)/bench.lock; \
	if command -v flock >/dev/null && ! flock -n 9; then \
	    echo "== bench: another make bench is running in this tree; waiting for it"; \
	    flock 9; \
	fi; \
	start=$$SECONDS; summaries=(); \
	mkdir -p $(BENCH_OUT); \
	for tag in $(TAGS); do \
	    rm -f $(BENCH_OUT)/$$tag.json; \
	    $(BUILD)/bench-venv-$$tag/bin/python $(BENCH_SRC)/run_bench.py \
	        --out-dir $(BENCH_OUT) $(BENCH_RUN_ARGS) $(BENCH_ARGS); \
	    summaries+=($(BENCH_OUT)/$$tag.json); \
	done; \
	$(PLOT_VENV)/bin/python -B $(BENCH_SRC)/report.py \
	    --results $(BENCH_REPORT_DIR)/RESULTS.md --plot $(BENCH_REPORT_DIR)/ratios.png \
	    --seconds $$((SECONDS - start)) "$${summaries[@]}"

# -- instruction counts -------------------------------------------------------

INSTR_CASES ?=
INSTR_VARIANTS ?=
INSTR_ARGS ?=
INSTR_JOBS ?= $(JOBS)
# 3.11, 3.13 and 3.13t unless VERSIONS or PYTHONS chooses.
INSTR_TAGS = $(if $(VERSIONS)$(PYTHONS),$(TAGS),$(filter cp311 cp313 cp313t,$(TAGS)))
INSTR_QUICK := $(strip $(INSTR_CASES)$(INSTR_VARIANTS)$(INSTR_ARGS))
INSTR_OUT := $(BUILD)/bench/instructions$(if $(INSTR_QUICK),/quick)
INSTR_REPORT_DIR := $(if $(INSTR_QUICK),$(INSTR_OUT),$(BENCH_SRC))

# Per interpreter: the default build, copied into the package as make does,
# and the public-API-only one, which stays in build/public-cpXY/.
define instr_interpreter_rules
.PHONY: instr-builds-$(1)
instr-builds-$(1): $(TOOLS_PREREQ)
	@$(BUILD_ENV) bash $(ROOT)/tools/build_one.sh --copy-to $(PKG_DIR) \
	    $(BUILD)/$(1) $(2) $(if $(WERROR),-DGLOBALS_WERROR=ON)
	@$(BUILD_ENV) bash $(ROOT)/tools/build_one.sh \
	    $(BUILD)/public-$(1) $(2) $(if $(WERROR),-DGLOBALS_WERROR=ON) -DGLOBALS_PUBLIC_API_ONLY=ON
endef
$(foreach t,$(TAGS),$(eval $(call instr_interpreter_rules,$(t),$(call python_of,$(t)))))

instr-valgrind:
	@if ! command -v valgrind >/dev/null; then \
	    if [ "$$(id -u)" -ne 0 ]; then \
	        echo "bench-instructions: valgrind is missing; installing it needs root" >&2; \
	        exit 1; \
	    fi; \
	    echo "== installing valgrind"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq; \
	    apt-get install -y -qq --no-install-recommends valgrind; \
	fi

bench-instructions: instr-valgrind $(addprefix instr-builds-,$(INSTR_TAGS)) \
        $(addprefix bench-venv-,$(INSTR_TAGS)) plot-venv
	@if [ -z '$(INSTR_TAGS)' ]; then \
	    echo "bench-instructions: no interpreter selected (found: $(TAGS))" >&2; exit 1; \
	fi; \
	start=$$SECONDS; results=(); \
	mkdir -p $(INSTR_OUT); \
	for tag in $(INSTR_TAGS); do \
	    rm -f $(INSTR_OUT)/$$tag.json; \
	    $(BUILD)/bench-venv-$$tag/bin/python $(BENCH_SRC)/instructions.py \
	        --out $(INSTR_OUT)/$$tag.json --jobs $(INSTR_JOBS) \
	        --ext default="$$(head -n1 $(BUILD)/$$tag/extension-path.txt)" \
	        --ext public="$$(head -n1 $(BUILD)/public-$$tag/extension-path.txt)" \
	        $(if $(INSTR_CASES),--cases '$(INSTR_CASES)') \
	        $(if $(INSTR_VARIANTS),--variants '$(INSTR_VARIANTS)') $(INSTR_ARGS); \
	    results+=($(INSTR_OUT)/$$tag.json); \
	done; \
	$(PLOT_VENV)/bin/python -B $(BENCH_SRC)/instructions_report.py \
	    --results $(INSTR_REPORT_DIR)/RESULTS.md --plot $(INSTR_REPORT_DIR)/instructions.png \
	    --seconds $$((SECONDS - start)) "$${results[@]}"
