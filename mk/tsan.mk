# ThreadSanitizer: the extension built with -fsanitize=thread, run under a
# free-threaded CPython 3.13 that is itself built with ThreadSanitizer.
#
#   make tsan             the TSan interpreter (built once, see tsan-python),
#                         the TSan build of the extension in build/cp313t-tsan/,
#                         its environment build/venv-cp313t-tsan/, then pytest
#                         on TSAN_TESTS with tools/tsan-suppressions.txt; fails
#                         on a failing test or on any ThreadSanitizer report
#                         (tools/tsan.sh)
#   make tsan TSAN_TESTS="tests/test_threads.py"
#                         these test files (default: tests/test_threads.py and,
#                         when it exists, tests/test_stress.py); PYTEST_ARGS
#                         (see the Makefile) reaches this pytest as well
#   make tsan TSAN_GIL=1  run with the GIL (PYTHON_GIL=1); by default the
#                         interpreter decides, and the module declares that it
#                         runs without it
#   make tsan-python      only the interpreter: CPython 3.13.5 configured with
#                         --disable-gil --with-thread-sanitizer, in
#                         ~/.pyenv/versions/3.13.5t-tsan (once: about 14
#                         minutes on 2 cores, most of it the byte-compiling
#                         of the standard library by the instrumented
#                         interpreter; tools/build_freethreaded_python.sh)
#
# The extension's file is never copied into quorvane/global_var/: the tests
# run in build/cp313t-tsan/tree/, a copy of the package and the tests around
# the TSan build; reports go to build/cp313t-tsan/reports/.

TSAN_TESTS ?= tests/test_threads.py $(patsubst $(ROOT)/%,%,$(wildcard $(ROOT)/tests/test_stress.py))
TSAN_GIL ?=

.PHONY: tsan tsan-python

tsan-python:
	@JOBS='$(JOBS)' bash $(ROOT)/tools/build_freethreaded_python.sh --tsan

tsan: $(TOOLS_PREREQ)
	@$(BUILD_ENV) TSAN_GIL='$(TSAN_GIL)' bash $(ROOT)/tools/tsan.sh $(TSAN_TESTS) -- $(PYTEST_ARGS)
