# The wheel's compiler: zig's clang (PyPI's `ziglang`) building for x86_64
# Linux against glibc 2.28, with zig's libc++ and libc++abi linked into each
# binary, so the module loads on glibc 2.28 or later and needs no libstdc++
# of the host. A toolchain file applies to every target of the project and to
# CMake's own compiler checks; `make wheel` sets it (through the
# CMAKE_TOOLCHAIN_FILE environment variable), every other build uses the
# host's g++.
#
# The zig executable: KNOTWELL_ZIG from the environment, else `zig` on PATH.
set(KNOTWELL_GLIBC_FLOOR 2.28)

if(DEFINED ENV{KNOTWELL_ZIG} AND NOT "$ENV{KNOTWELL_ZIG}" STREQUAL "")
  set(knotwell_zig "$ENV{KNOTWELL_ZIG}")
else()
  find_program(knotwell_zig zig)
endif()
if(NOT knotwell_zig OR NOT EXISTS "${knotwell_zig}")
  message(FATAL_ERROR "zig not found: install PyPI's ziglang and set KNOTWELL_ZIG to its zig executable")
endif()

set(CMAKE_C_COMPILER "${knotwell_zig}" cc -target x86_64-linux-gnu.${KNOTWELL_GLIBC_FLOOR})
set(CMAKE_CXX_COMPILER "${knotwell_zig}" c++ -target x86_64-linux-gnu.${KNOTWELL_GLIBC_FLOOR})

# The unwinder: the system's libgcc_s (on every glibc system, and allowed by
# every manylinux policy) rather than the LLVM libunwind zig would link in.
# glibc unwinds a thread ended by pthread_exit with libgcc_s, calling the
# C++ personality routine of each frame on the way; that routine must read
# the frame through the same unwinder, or the process crashes. Only its
# _Unwind_* functions (GCC_3.0, in every libgcc_s) are used; the host's copy,
# which the link reads but the wheel does not carry, may itself need a newer
# glibc than the floor, hence --allow-shlib-undefined.
find_file(KNOTWELL_LIBGCC_S libgcc_s.so.1
  PATHS /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64 /usr/lib64 /lib /usr/lib NO_DEFAULT_PATH)
if(NOT KNOTWELL_LIBGCC_S)
  message(FATAL_ERROR "libgcc_s.so.1 not found")
endif()
foreach(kind SHARED MODULE EXE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${KNOTWELL_LIBGCC_S} -Wl,--allow-shlib-undefined")
endforeach()

# An extension module exports its PyInit_ function only (module-exports.map).
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/module-exports.map")
