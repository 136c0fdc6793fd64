# Builds quorvane.global_var.globals for every CPython 3.7 .. 3.15 on the
# machine (the newest supported version is MAX_MINOR in tools/find_pythons.sh),
# the free-threaded 3.13 (tag cp313t) among them, and runs the tests under
# each of them.  CPython 3.14 and 3.15 are tested in a Debian sid chroot by
# make test-newest (mk/newest.mk).
#
#   make                      build for every interpreter, copy the builds into
#                             quorvane/global_var/, import each one
#   make test                 run the test suite under every interpreter
#   make clean                remove build/ and the copied extension files
#                             (dist/, with the sdist and wheels, is kept)
#   make info                 show the interpreters and build tools found
#   make help                 this text, the further targets of mk/*.mk and a
#                             list of every target
#   make ft-python            build the free-threaded CPython 3.13 into
#                             ~/.pyenv/versions/3.13.5t if it is not there
#                             (tools/build_freethreaded_python.sh; .ci/run
#                             does this before `make`)
#
#   make VERSIONS="3.11 3.12" only these interpreter versions; 3.13 is both
#                             cp313 and cp313t, 3.13t (or cp313t) only the
#                             free-threaded one, cp313 only the other
#   make PYTHONS="/usr/bin/python3.11 ..."
#                             only these interpreters (one per tag)
#   make CMAKE=/path/cmake NINJA=/path/ninja
#                             these build tools (NINJA=- for Unix Makefiles)
#   make CMAKE_FROM_PYPI=1    take cmake and ninja from PyPI even when the
#                             machine has them
#   make WERROR=1             compiler warnings are errors
#   make PUBLIC_API_ONLY=1    build with CPython's public C API only (no
#                             exported private functions, no private struct
#                             fields), in build/public-cpXY/; `make test
#                             PUBLIC_API_ONLY=1` tests those builds
#   make JOBS=N               compile jobs per build (default: cores)
#   make PYTEST_ARGS="-x -k name"
#                             extra pytest arguments for `make test`
#
# Layout: build/cpXY/ holds the build for interpreter X.Y (build/public-cpXY/
# with PUBLIC_API_ONLY=1), build/cpXY-mismatch/
# a test-only build that records interpreter version 3.6, build/venv-cpXY/ the
# interpreter's environment (unidecode, pytest, hypothesis; pip constraints
# for a tag in tools/constraints-TAG.txt) and build/venv-tools/ cmake and
# ninja from PyPI when the machine has no usable ones.  The free-threaded
# interpreter's tag ends in t and so do its directories: build/cp313t/,
# build/cp313t-mismatch/, build/venv-cp313t/; its extension file is
# globals.cpython-313t-x86_64-linux-gnu.so beside the cp313 one.
#
# More targets (benchmarks, packaging, leak check, sanitizers, ThreadSanitizer
# under the free-threaded interpreter: make tsan, CPython 3.14 and 3.15 in a
# chroot: make test-newest) are described at the top of mk/*.mk.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := all
.SUFFIXES:

ROOT := $(abspath $(dir $(lastword $(MAKEFILE_LIST))))
BUILD := $(ROOT)/build
PKG_DIR := $(ROOT)/quorvane/global_var
TEST_REQUIREMENTS := $(ROOT)/tools/requirements-test.txt
TOOLS_REQUIREMENTS := $(ROOT)/tools/requirements-tools.txt
MISMATCH_VERSION := 3.6

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR ?=
PUBLIC_API_ONLY ?=
PYTEST_ARGS ?=
CMAKE_FROM_PYPI ?=
PYTHONS ?=
VERSIONS ?=

# Interpreters and build tools are looked up only when something is built.
NEEDS_TOOLS := $(filter-out clean help ft-python tsan-python newest-chroot test-newest leakcheck-newest windows-check-newest,$(or $(MAKECMDGOALS),$(.DEFAULT_GOAL)))

ifneq ($(NEEDS_TOOLS),)

INTERPRETERS := $(shell VERSIONS='$(VERSIONS)' bash $(ROOT)/tools/find_pythons.sh $(PYTHONS))
ifeq ($(INTERPRETERS),)
# The supported versions, "3.7 3.15": find_pythons.sh is the one place that says.
SUPPORTED_RANGE := $(shell bash $(ROOT)/tools/find_pythons.sh --range)
$(error No CPython $(word 1,$(SUPPORTED_RANGE)) .. $(word 2,$(SUPPORTED_RANGE)) with development headers found (PYTHONS='$(PYTHONS)' VERSIONS='$(VERSIONS)'))
endif
TAGS := $(foreach i,$(INTERPRETERS),$(firstword $(subst =, ,$(i))))
python_of = $(patsubst $(1)=%,%,$(filter $(1)=%,$(INTERPRETERS)))
# The tools' environments (cmake, packaging, cibuildwheel) use the newest
# interpreter with the GIL: not every tool has wheels for cp313t.
NEWEST_PYTHON := $(call python_of,$(lastword $(or $(filter-out %t,$(TAGS)),$(TAGS))))

ifeq ($(origin CMAKE),undefined)
ifeq ($(CMAKE_FROM_PYPI),)
FOUND_TOOLS := $(shell bash $(ROOT)/tools/find_build_tools.sh)
CMAKE := $(word 1,$(FOUND_TOOLS))
ifeq ($(origin NINJA),undefined)
NINJA := $(word 2,$(FOUND_TOOLS))
endif
endif
endif

ifeq ($(filter-out -,$(CMAKE)),)
# No usable cmake on the machine (or CMAKE_FROM_PYPI=1): take both from PyPI.
TOOLS_VENV := $(BUILD)/venv-tools
CMAKE := $(TOOLS_VENV)/bin/cmake
NINJA := $(TOOLS_VENV)/bin/ninja
TOOLS_PREREQ := tools-venv
endif
NINJA ?= -

endif  # NEEDS_TOOLS

BUILD_ENV = CMAKE='$(CMAKE)' NINJA='$(NINJA)' JOBS='$(JOBS)'
CMAKE_EXTRA = $(if $(WERROR),-DGLOBALS_WERROR=ON) \
    $(if $(PUBLIC_API_ONLY),-DGLOBALS_PUBLIC_API_ONLY=ON)
# The builds of the public-API-only mode have directories of their own.
BUILD_PREFIX := $(if $(PUBLIC_API_ONLY),public-)

.PHONY: all build mismatch venvs check test clean help tools-venv info ft-python

all: check

# The first comment block of the Makefile and of every mk/*.mk, then every
# target that a .PHONY line names (per-interpreter ones as ...-cpXY), so that
# targets added in new mk/*.mk files show up without editing this rule.
help:
	@for f in $(ROOT)/Makefile $(MK_FILES); do \
	    sed -n '1,/^$$/p' "$$f" | sed 's/^# \{0,1\}//'; \
	done
	@echo "Every target:"
	@sed -n 's/^\.PHONY: *//p' $(ROOT)/Makefile $(MK_FILES) | tr ' ' '\n' | \
	    sed 's/$$(1)/cpXY/' | grep -v '^$$' | grep -v '[$$]' | sort -u | \
	    xargs | fmt -w 74 | sed 's/^/  /'

info:
	@echo "interpreters: $(INTERPRETERS)"
	@echo "cmake: $(CMAKE)  ninja: $(NINJA)  jobs: $(JOBS)"

ft-python:
	@JOBS='$(JOBS)' bash $(ROOT)/tools/build_freethreaded_python.sh

tools-venv:
	@bash $(ROOT)/tools/ensure_venv.sh $(TOOLS_VENV) $(NEWEST_PYTHON) $(TOOLS_REQUIREMENTS)

# Per interpreter: build-cpXY, mismatch-cpXY, venv-cpXY.
constraints_of = $(wildcard $(ROOT)/tools/constraints-$(1).txt)
define interpreter_rules
.PHONY: build-$(1) mismatch-$(1) venv-$(1)
build-$(1): $(TOOLS_PREREQ)
	@$(BUILD_ENV) bash $(ROOT)/tools/build_one.sh --copy-to $(PKG_DIR) \
	    $(BUILD)/$(BUILD_PREFIX)$(1) $(2) $(CMAKE_EXTRA)
mismatch-$(1): $(TOOLS_PREREQ)
	@$(BUILD_ENV) bash $(ROOT)/tools/build_one.sh \
	    $(BUILD)/$(BUILD_PREFIX)$(1)-mismatch $(2) -DGLOBALS_BUILD_VERSION=$(MISMATCH_VERSION) \
	    $(CMAKE_EXTRA)
venv-$(1):
	@bash $(ROOT)/tools/ensure_venv.sh $(BUILD)/venv-$(1) $(2) $(TEST_REQUIREMENTS) \
	    $(call constraints_of,$(1))
endef
$(foreach t,$(TAGS),$(eval $(call interpreter_rules,$(t),$(call python_of,$(t)))))

build: $(addprefix build-,$(TAGS))
mismatch: $(addprefix mismatch-,$(TAGS))
venvs: $(addprefix venv-,$(TAGS))

# One line per interpreter: the file it loads and what g reads. quorvane is
# imported from this tree, and nothing (bytecode, caches) is written into it.
check: build mismatch venvs
	@echo "== import check"
	@cd $(ROOT); failed=0; \
	for tag in $(TAGS); do \
	    PYTHONPATH='$(ROOT)' PYTHONDONTWRITEBYTECODE=1 \
	        $(BUILD)/venv-$$tag/bin/python tools/check_import.py $$tag || failed=1; \
	done; \
	exit $$failed

# The suite under each interpreter in turn (tools/run_tests.sh: environment,
# QV_MISMATCH_BUILD, summary).
test: build mismatch venvs
	@QV_BUILD_PREFIX='$(BUILD_PREFIX)' QV_PUBLIC_API_ONLY='$(PUBLIC_API_ONLY)' \
	    bash $(ROOT)/tools/run_tests.sh $(TAGS) -- $(PYTEST_ARGS)

# dist/ is left alone: it holds the sdist and wheels that `make wheels` made.
clean:
	rm -rf $(BUILD)
	rm -f $(PKG_DIR)/globals.*.so $(PKG_DIR)/globals.*.pyd $(PKG_DIR)/globals.*.tmp.*

# Further targets (benchmarks, reliability checks, packaging, the Windows
# cross-build check) live in mk/*.mk
# and may use everything defined above.  Each file opens with a comment block
# of its targets, which `make help` prints.  They are read for `make help` and
# `make clean` too, so nothing in them may look up interpreters or build
# tools when it is read (only inside NEEDS_TOOLS, or in a recipe).
MK_FILES := $(sort $(wildcard $(ROOT)/mk/*.mk))
include $(MK_FILES)
