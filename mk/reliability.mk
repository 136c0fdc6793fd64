# Reliability checks: reference leaks, memory errors, undefined behaviour,
# threads and bad input.
#
#   make leakcheck        build for Debian's debug interpreter (python3.11-dbg,
#                         installed with apt-get when missing) and call every
#                         entry point LEAKCHECK_CALLS times (default 100000):
#                         neither the total reference count nor the allocated
#                         blocks nor the tracked objects may grow; then the
#                         whole test suite under that debug interpreter
#   make sanitize         the whole test suite against AddressSanitizer and
#                         UndefinedBehaviorSanitizer builds, one per version in
#                         SANITIZE_VERSIONS (default "3.8 3.12"); any report fails
#   (both with PUBLIC_API_ONLY=1 too: the public-API-only builds)
#   make stress           the thread, re-entrancy and bad-input tests at full
#                         size (STRESS_CALLS calls, a 50 MB file, STRESS_EXAMPLES
#                         hypothesis examples) under every interpreter
#
#   make leakcheck DBG_PYTHON=python3.15-dbg
#                         the same with another Debian debug interpreter
#                         (make leakcheck-newest: under python3.14-dbg in the
#                         Debian sid chroot of mk/newest.mk)
#
# Layout: build/dbg-cpXY/, build/dbg-pkg/ and build/venv-dbg-cpXY/ for the
# leak check; build/asan-cpXY/{cmake,tree,reports}/ for the sanitizers (tree/
# is a copy of the package and the tests around the sanitized build).  Nothing
# is written into the source tree.

DBG_PYTHON ?= python3.11-dbg
LEAKCHECK_CALLS ?= 100000
SANITIZE_VERSIONS ?= 3.8 3.12
STRESS_CALLS ?= 100000
STRESS_EXAMPLES ?= 1000

SANITIZE_TAGS = $(foreach v,$(SANITIZE_VERSIONS),cp3$(patsubst 3.%,%,$(v)))
SANITIZE_FOUND = $(filter $(TAGS),$(SANITIZE_TAGS))

.PHONY: leakcheck sanitize stress

leakcheck: $(TOOLS_PREREQ)
	@$(BUILD_ENV) DBG_PYTHON='$(DBG_PYTHON)' LEAKCHECK_CALLS='$(LEAKCHECK_CALLS)' \
	    QV_PUBLIC_API_ONLY='$(PUBLIC_API_ONLY)' bash $(ROOT)/tools/leakcheck.sh

sanitize: $(TOOLS_PREREQ) $(addprefix venv-,$(SANITIZE_FOUND)) $(addprefix mismatch-,$(SANITIZE_FOUND))
	@missing='$(filter-out $(TAGS),$(SANITIZE_TAGS))'; \
	if [ -n "$$missing" ]; then echo "sanitize: no interpreter for $$missing" >&2; exit 1; fi; \
	failed=0; \
	$(foreach t,$(SANITIZE_FOUND),$(BUILD_ENV) QV_PUBLIC_API_ONLY='$(PUBLIC_API_ONLY)' \
	    bash $(ROOT)/tools/sanitize.sh \
	    $(t) $(call python_of,$(t)) $(PYTEST_ARGS) || failed=1;) \
	exit $$failed

stress: build venvs
	@cd $(ROOT); failed=0; \
	for tag in $(TAGS); do \
	    echo "== stress $$tag"; \
	    PYTHONPATH='$(ROOT)' PYTHONDONTWRITEBYTECODE=1 QV_LARGE_TESTS=1 \
	    QV_STRESS_CALLS='$(STRESS_CALLS)' QV_STRESS_EXAMPLES='$(STRESS_EXAMPLES)' \
	    HYPOTHESIS_STORAGE_DIRECTORY='$(BUILD)'/hypothesis-$$tag \
	        '$(BUILD)'/venv-$$tag/bin/python -m pytest -q -p no:cacheprovider \
	        tests/test_threads.py tests/test_reentrancy.py tests/test_bad_input.py \
	        $(PYTEST_ARGS) || failed=1; \
	done; \
	exit $$failed
