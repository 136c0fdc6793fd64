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

.PHONY: bench bench-venvs plot-venv

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
