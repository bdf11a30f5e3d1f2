# The i386 unit tests: the code of the router's build compiled for i386 and
# linked statically with the 32-bit glibc (g++-multilib, lib32z1-dev), which
# GoogleTest and the C++ library need. Run under qemu-i386-static.
include(${CMAKE_CURRENT_LIST_DIR}/i386-common.cmake)

set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
