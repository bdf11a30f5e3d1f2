# The router's build: i386, static, linked with musl (Debian's musl-dev:i386,
# unpacked by cmake/unpack_musl_i386.sh) and lib32z1-dev's zlib. Only the
# programs and tools are built here: GoogleTest and the C++ library need
# glibc, so the i386 unit tests run in the build of cmake/i386-glibc.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/i386-common.cmake)

# musl: the unpacked copy, else an installed musl-dev:i386.
get_filename_component(TESS_SOURCE_TOP ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
foreach(musl_root ${TESS_SOURCE_TOP}/.cache/musl-i386 "")
  set(TESS_MUSL_LIB ${musl_root}/usr/lib/i386-linux-musl)
  set(TESS_MUSL_INCLUDE ${musl_root}/usr/include/i386-linux-musl)
  if(EXISTS ${TESS_MUSL_LIB}/libc.a AND EXISTS ${TESS_MUSL_INCLUDE}/stdio.h)
    break()
  endif()
endforeach()
if(NOT EXISTS ${TESS_MUSL_LIB}/libc.a)
  message(FATAL_ERROR "musl for i386 is missing: run cmake/unpack_musl_i386.sh")
endif()

function(tess_gcc_file variable name)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 -print-file-name=${name}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}")
    message(FATAL_ERROR "gcc -m32 has no ${name}: install g++-multilib")
  endif()
  set(${variable} ${path} PARENT_SCOPE)
endfunction()
tess_gcc_file(TESS_GCC_INCLUDE include)
tess_gcc_file(TESS_LIBGCC libgcc.a)
tess_gcc_file(TESS_CRTBEGIN crtbeginT.o)
tess_gcc_file(TESS_CRTEND crtend.o)

# A directory of the build holds links to lib32z1-dev's libz.a (beside the
# 32-bit glibc in /usr/lib32) and to zlib.h and zconf.h (beside the 64-bit
# glibc headers in /usr/include), so that "-lz" and <zlib.h> find zlib
# without putting glibc on either search path.
set(TESS_I386_LIB_DIR ${CMAKE_BINARY_DIR}/i386-lib)
file(MAKE_DIRECTORY ${TESS_I386_LIB_DIR})
foreach(zlib_file /usr/lib32/libz.a /usr/include/zlib.h /usr/include/zconf.h)
  if(NOT EXISTS ${zlib_file})
    message(FATAL_ERROR "${zlib_file} is missing: install lib32z1-dev and zlib1g-dev")
  endif()
  get_filename_component(zlib_name ${zlib_file} NAME)
  file(CREATE_LINK ${zlib_file} ${TESS_I386_LIB_DIR}/${zlib_name} SYMBOLIC)
endforeach()

# C and C++ sources see musl's headers and the compiler's own (stddef.h,
# stdarg.h), never glibc's: a struct stat or time_t of glibc's shape handed
# to musl would be read wrongly. musl's off_t, ino_t and time_t are 64 bits
# wide whatever _FILE_OFFSET_BITS says. The link takes musl's start files
# and libc.a, gcc's crtbegin/crtend, and libgcc for the 64-bit division
# helpers, and nothing else: no C++ runtime, so that a program that needs it
# fails to link, as in the native build. The zlib directory and musl's come
# first, so that "-lz" or "-lm" never reach /usr/lib32's glibc. These flags
# sit in the compile and link rules rather than in CMAKE_<LANG>_FLAGS, so
# that flags given on the command line add to them and never replace them.
set(TESS_MUSL_HEADERS
    "-m32 -nostdinc -isystem ${TESS_MUSL_INCLUDE} -isystem ${TESS_GCC_INCLUDE} -isystem ${TESS_I386_LIB_DIR}")
set(TESS_MUSL_LINK_START
    "-m32 -static -nostdlib -L${TESS_I386_LIB_DIR} -L${TESS_MUSL_LIB} ${TESS_MUSL_LIB}/crt1.o ${TESS_MUSL_LIB}/crti.o ${TESS_CRTBEGIN}")
set(TESS_MUSL_LINK_END
    "${TESS_LIBGCC} ${TESS_MUSL_LIB}/libc.a ${TESS_LIBGCC} ${TESS_CRTEND} ${TESS_MUSL_LIB}/crtn.o")
foreach(lang C CXX)
  set(CMAKE_${lang}_COMPILE_OBJECT
      "<CMAKE_${lang}_COMPILER> ${TESS_MUSL_HEADERS} <DEFINES> <INCLUDES> <FLAGS> -o <OBJECT> -c <SOURCE>")
  set(CMAKE_${lang}_LINK_EXECUTABLE
      "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> <LINK_FLAGS> ${TESS_MUSL_LINK_START} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${TESS_MUSL_LINK_END}")
endforeach()

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
