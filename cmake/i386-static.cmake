# The router's build: i386, static, linked with musl (musl-dev:i386) and
# lib32z1-dev's zlib. Only the programs and tools are built here: GoogleTest
# and the C++ library need glibc, so the unit tests of the i386 code run in
# the build of cmake/i386-glibc.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/i386-common.cmake)

set(TESS_MUSL_LIB /usr/lib/i386-linux-musl)
set(TESS_MUSL_INCLUDE /usr/include/i386-linux-musl)
if(NOT EXISTS ${TESS_MUSL_LIB}/musl-gcc.specs OR NOT EXISTS ${TESS_MUSL_INCLUDE}/stdio.h)
  message(FATAL_ERROR "musl for i386 is missing: install musl-dev:i386")
endif()
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE TESS_GCC_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)

# C and C++ sources see musl's headers and the compiler's own (stddef.h,
# stdarg.h), never glibc's: a struct stat or time_t of glibc's shape handed
# to musl would be read wrongly. musl's off_t, ino_t and time_t are 64 bits
# wide whatever _FILE_OFFSET_BITS says. These flags sit in the compile and
# link rules rather than in CMAKE_<LANG>_FLAGS, so that flags given on the
# command line add to them and never replace them.
set(TESS_MUSL_HEADERS
    "-nostdinc -isystem ${TESS_MUSL_INCLUDE} -isystem ${TESS_GCC_INCLUDE} -isystem ${TESS_I386_LIB_DIR}")
set(CMAKE_C_COMPILE_OBJECT
    "<CMAKE_C_COMPILER> ${TESS_MUSL_HEADERS} <DEFINES> <INCLUDES> <FLAGS> -o <OBJECT> -c <SOURCE>")
set(CMAKE_CXX_COMPILE_OBJECT
    "<CMAKE_CXX_COMPILER> ${TESS_MUSL_HEADERS} <DEFINES> <INCLUDES> <FLAGS> -o <OBJECT> -c <SOURCE>")

# musl-dev's specs choose musl's start files, libc.a and libgcc (the 64-bit
# division helpers). CMake names the C++ library on the link line of every
# program with C++ sources; an empty libstdc++.a in the build's library
# directory answers "-lstdc++", so that a program that needs the C++ runtime
# fails to link, as in the native build.
set(TESS_MUSL_LINK "-static -specs=${TESS_MUSL_LIB}/musl-gcc.specs -L${TESS_I386_LIB_DIR}")
set(CMAKE_C_LINK_EXECUTABLE
    "<CMAKE_C_COMPILER> ${TESS_MUSL_LINK} <FLAGS> <CMAKE_C_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> ${TESS_MUSL_LINK} <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
if(NOT EXISTS ${TESS_I386_LIB_DIR}/libstdc++.a)
  file(WRITE ${TESS_I386_LIB_DIR}/libstdc++.a "!<arch>\n")
endif()

# Size: position-dependent code (PIC costs a register and a thunk call per
# function on i386), no unwind tables (nothing unwinds without exceptions),
# and one section per function and object so that the linker drops what no
# program reaches.
set(TESS_SIZE_FLAGS "-fno-pie -fno-asynchronous-unwind-tables -fno-unwind-tables -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${TESS_SIZE_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TESS_SIZE_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")

# The router's programs are built for size (MinSizeRel, -Os) and shipped
# without symbols; RelWithDebInfo keeps them for debugging under the emulator.
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE MinSizeRel CACHE STRING "The router's build: MinSizeRel")
endif()
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT "-s")

# The unit tests need glibc; they live in the i386-glibc build.
if(NOT DEFINED CACHE{TESS_TESTS})
  set(TESS_TESTS OFF CACHE BOOL "Build the test tiers (i386 unit tests: cmake/i386-glibc.cmake)")
endif()
