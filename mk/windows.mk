# Windows: the extension cross-compiled for Windows x86-64 with MinGW-w64,
# from the same sources and CMake project, for every interpreter version.
#
#   make windows-check    for each interpreter found (VERSIONS= as for make):
#                         build globals.cpXY-win_amd64.pyd against the
#                         interpreter's headers with CPython's Windows
#                         pyconfig.h and an import library of pythonXY.dll
#                         made from the names the headers export; warnings
#                         are errors; check that Py_ssize_t is 64 bits, that
#                         a name the DLL does not export fails to link, and
#                         that the module exports only PyInit_globals and
#                         imports from nothing but pythonXY.dll, KERNEL32.dll
#                         and the C runtime (tools/windows_check.sh)
#
# Installs g++-mingw-w64-x86-64-posix and binutils-mingw-w64-x86-64 with
# apt-get when missing (root).  Layout: build/windows/pyconfig/ holds the
# Windows pyconfig.h files taken once from Debian's source packages,
# build/windows/cpXY/ the headers, import library, CMake build and probes of
# one version, build/windows/out/ the modules.

.PHONY: windows-check

windows-check: $(TOOLS_PREREQ)
	@$(BUILD_ENV) HOST_PYTHON='$(NEWEST_PYTHON)' \
	    bash $(ROOT)/tools/windows_check.sh $(BUILD)/windows $(INTERPRETERS)
