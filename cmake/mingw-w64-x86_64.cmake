# Toolchain file: Windows x86-64 with MinGW-w64 on Linux (Debian's
# g++-mingw-w64-x86-64-posix and binutils-mingw-w64-x86-64), for the
# cross-builds of tools/windows_check.sh:
#
#   cmake -S . -B build/windows/cp312/cmake \
#       -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#       -DPython_EXECUTABLE=... -DPython_INCLUDE_DIR=... -DPython_LIBRARY=...
#
# The Python variables must name headers with CPython's Windows pyconfig.h
# and an import library of pythonXY.dll; tools/windows_check.sh makes both.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(QV_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix thread model: std::mutex, std::thread and thread_local work.
find_program(CMAKE_C_COMPILER NAMES ${QV_MINGW_TRIPLE}-gcc-posix ${QV_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QV_MINGW_TRIPLE}-g++-posix ${QV_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QV_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CPython's Windows pyconfig.h defines MS_WIN64 only for MSVC (3.13's also
# for MinGW); without it Py_ssize_t and the size macros are those of 32-bit
# Windows.
set(CMAKE_C_FLAGS_INIT "-DMS_WIN64")
set(CMAKE_CXX_FLAGS_INIT "-DMS_WIN64")
# The module must not need libgcc_s, libstdc++ or libwinpthread DLLs, which
# no Windows Python installation has.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
