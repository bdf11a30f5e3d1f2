# What both i386 builds share: Debian's cross compilers for i686, static
# programs that run on this machine through qemu-i386-static, and
# lib32z1-dev's static zlib.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i386)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
set(TESS_I386 ON)

# lib32z1-dev puts libz.a in /usr/lib32 beside the 32-bit glibc, and zlib.h
# lives in /usr/include beside the 64-bit glibc headers. A directory of the
# build holds links to the zlib files alone, so that "-lz" and <zlib.h> find
# zlib without putting a C library on the search path.
set(TESS_I386_LIB_DIR ${CMAKE_BINARY_DIR}/i386-lib)
file(MAKE_DIRECTORY ${TESS_I386_LIB_DIR})
foreach(zlib_file /usr/lib32/libz.a /usr/include/zlib.h /usr/include/zconf.h)
  if(NOT EXISTS ${zlib_file})
    message(FATAL_ERROR "${zlib_file} is missing: install lib32z1-dev and zlib1g-dev")
  endif()
  get_filename_component(zlib_name ${zlib_file} NAME)
  file(CREATE_LINK ${zlib_file} ${TESS_I386_LIB_DIR}/${zlib_name} SYMBOLIC)
endforeach()
