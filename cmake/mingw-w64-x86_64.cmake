# Cross build for 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The executables run on Windows as they are (the C++ runtime and winpthreads are linked in
# statically) and under Wine on this machine; scripts/windows-build.sh runs this build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORLO_MINGW_TRIPLE x86_64-w64-mingw32)
# The "posix" thread model: std::thread and std::mutex on winpthreads (GCC 12's "win32" model
# has no std::thread).
set(CMAKE_C_COMPILER ${ORLO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORLO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORLO_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORLO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Header-only libraries of the build machine serve the target as they are, through package
# files that put only their own headers on the include path.
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-host-packages CACHE PATH "CLI11 (header-only)")
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-host-packages
    CACHE PATH "nlohmann_json (header-only)")
# GoogleTest is built from its sources with this compiler (see the top-level CMakeLists.txt).
set(ORLO_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the target")

# No DLLs to ship beside the executables: libgcc, libstdc++ and winpthreads are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run on this machine through Wine.
find_program(ORLO_WINE wine)
if(ORLO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORLO_WINE})
endif()
