# The newest CPython releases, 3.14 and 3.15, which this machine's Debian
# does not have: built and checked inside a Debian unstable (sid) chroot that
# has them, with the project's own make targets run there on a copy of this
# tree (tools/in_newest_chroot.sh).
#
#   make test-newest      `make` and `make test` inside the chroot, for every
#                         interpreter there (3.14 and 3.15; NEWEST_VERSIONS
#                         narrows them as VERSIONS does), with make test's
#                         summary lines; WERROR, PUBLIC_API_ONLY and PYTEST_ARGS
#                         are passed on
#   make leakcheck-newest make leakcheck inside the chroot with the debug
#                         interpreter NEWEST_DBG_PYTHON (default python3.14-dbg);
#                         LEAKCHECK_CALLS and PUBLIC_API_ONLY are passed on
#   make windows-check-newest
#                         make windows-check inside the chroot: the Windows
#                         x86-64 cross-build check for 3.14 and 3.15 (their
#                         headers, with 3.13's Windows pyconfig.h; see
#                         tools/windows_check.sh)
#   make bench-instructions-newest
#                         the instruction counts of make bench-instructions for
#                         3.14 (NEWEST_BENCH_VERSIONS) inside the chroot; the
#                         summaries (cp314.json) are copied out into
#                         build/bench/instructions/, and bench/RESULTS.md's
#                         section and bench/instructions.png are made anew over
#                         every summary there (make bench-instructions first for
#                         3.11, 3.13 and 3.13t)
#   make newest-chroot    only make the chroot, if it is not there
#                         (tools/build_newest_chroot.sh: debootstrap from the
#                         Debian archive of the machine's apt configuration into
#                         ~/.cache/qv-newest/sid, once; about 2.5 minutes and
#                         1.8 GB; needs root)
#
#   tools/in_newest_chroot.sh CMD [ARG...]
#                         any command in the chroot, in the copy of this tree,
#                         with /proc mounted for the command's lifetime (make
#                         test-newest uses it); e.g. `tools/in_newest_chroot.sh
#                         make test VERSIONS=3.15 PYTEST_ARGS="-x"`, or `bash`
#
# The copy is /src/NAME-HASH inside the chroot (one per checkout), brought up
# to date before every run; its build/ stays there between runs, so a second
# run builds incrementally and reuses the environments.  The source tree is
# only read.

NEWEST_VERSIONS ?=
NEWEST_DBG_PYTHON ?= python3.14-dbg
NEWEST_BENCH_VERSIONS ?= 3.14

.PHONY: newest-chroot test-newest leakcheck-newest windows-check-newest bench-instructions-newest

newest-chroot:
	@bash $(ROOT)/tools/build_newest_chroot.sh

test-newest:
	@bash $(ROOT)/tools/in_newest_chroot.sh bash -c \
	    'make --no-print-directory "$$@" && make --no-print-directory test "$$@"' make \
	    VERSIONS='$(NEWEST_VERSIONS)' WERROR='$(WERROR)' PUBLIC_API_ONLY='$(PUBLIC_API_ONLY)' \
	    PYTEST_ARGS='$(PYTEST_ARGS)'

leakcheck-newest:
	@bash $(ROOT)/tools/in_newest_chroot.sh make --no-print-directory leakcheck \
	    DBG_PYTHON='$(NEWEST_DBG_PYTHON)' LEAKCHECK_CALLS='$(LEAKCHECK_CALLS)' \
	    PUBLIC_API_ONLY='$(PUBLIC_API_ONLY)'

windows-check-newest:
	@bash $(ROOT)/tools/in_newest_chroot.sh make --no-print-directory windows-check \
	    VERSIONS='$(NEWEST_VERSIONS)'

# Inside: the builds and the benchmark environment of each interpreter, then
# bench/instructions.py (as make bench-instructions runs it, without the
# report, whose plotting environment the chroot need not have), writing to
# /var/tmp/qv-instructions/ in the chroot, whence the summaries are copied.
NEWEST_BENCH_OUT = /var/tmp/qv-instructions
bench-instructions-newest: plot-venv
	@bash $(ROOT)/tools/in_newest_chroot.sh bash -c ' \
	    set -e; rm -rf $(NEWEST_BENCH_OUT); mkdir -p $(NEWEST_BENCH_OUT); \
	    for v in $(NEWEST_BENCH_VERSIONS); do \
	        tag="cp3$${v#3.}"; \
	        make --no-print-directory instr-valgrind instr-builds-$$tag bench-venv-$$tag VERSIONS=$$v; \
	        build/bench-venv-$$tag/bin/python bench/instructions.py \
	            --out $(NEWEST_BENCH_OUT)/$$tag.json --jobs $(INSTR_JOBS) \
	            --ext default="$$(head -n1 build/$$tag/extension-path.txt)" \
	            --ext public="$$(head -n1 build/public-$$tag/extension-path.txt)"; \
	    done'
	@chroot_dir="$$(bash $(ROOT)/tools/build_newest_chroot.sh --path)"; \
	mkdir -p $(BUILD)/bench/instructions; \
	cp "$$chroot_dir"$(NEWEST_BENCH_OUT)/*.json $(BUILD)/bench/instructions/; \
	$(PLOT_VENV)/bin/python -B $(BENCH_SRC)/instructions_report.py \
	    --results $(BENCH_SRC)/RESULTS.md --plot $(BENCH_SRC)/instructions.png \
	    $$(ls $(BUILD)/bench/instructions/cp3*.json | sort -V)
