# Coverage of the C++ sources under the whole test suite (gcc --coverage,
# reported by gcovr from PyPI).
#
#   make coverage         for CPython COVERAGE_VERSION (default 3.11): the
#                         default build and the public-API-only build, each
#                         compiled with --coverage (build/coverage-cpXY/,
#                         build/coverage-public-cpXY/), each under the whole
#                         suite in a throw-away package copy; an HTML report
#                         per build (.../html/index.html), each file's lines
#                         not run (.../coverage.txt), and gcovr's summary of
#                         both builds as the last lines; fails when a test
#                         fails or a build runs less than COVERAGE_FLOOR
#                         percent of the lines (default 95; empty: no floor)
#
# The package directory's own builds are left alone (tools/coverage.sh).

COVERAGE_VERSION ?= 3.11
COVERAGE_FLOOR ?= 95
COVERAGE_TAG = cp3$(patsubst 3.%,%,$(COVERAGE_VERSION))

.PHONY: coverage

coverage: $(TOOLS_PREREQ) $(addprefix venv-,$(filter $(TAGS),$(COVERAGE_TAG)))
	@if [ -z '$(filter $(TAGS),$(COVERAGE_TAG))' ]; then \
	    echo "coverage: no interpreter for $(COVERAGE_TAG) (VERSIONS='$(VERSIONS)')" >&2; exit 1; fi
	@$(BUILD_ENV) COVERAGE_FLOOR='$(COVERAGE_FLOOR)' bash $(ROOT)/tools/coverage.sh \
	    $(COVERAGE_TAG) $(call python_of,$(COVERAGE_TAG)) $(PYTEST_ARGS)
