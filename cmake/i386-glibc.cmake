# The i386 unit tests: the code of the router's build compiled for i386 and
# linked statically with the cross compiler's glibc, which GoogleTest and the
# C++ library need. Run under qemu-i386-static.
include(${CMAKE_CURRENT_LIST_DIR}/i386-common.cmake)

set(CMAKE_C_FLAGS_INIT "-isystem ${TESS_I386_LIB_DIR}")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${TESS_I386_LIB_DIR}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -L${TESS_I386_LIB_DIR}")
