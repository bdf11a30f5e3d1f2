// The foundation is built without run-time type information and the tests
// with it. A test class derived from a foundation class then refers to its
// base's type information, which the foundation never emits, and the link
// fails; these definitions stand in for it. They are weak, so a build that
// does emit them keeps its own. Add a class here when a test derives from it.
// Building the tests with -fno-rtti would make this file unnecessary.
#include <cxxabi.h>

// name is the class's mangled name, e.g. "13stream_buffer".
#define FOUNDATION_ROOT_TYPE(id, name)                                   \
  extern const abi::__class_type_info id##_type __asm__("_ZTI" name); \
  extern __attribute__((weak)) const abi::__class_type_info id##_type(name)

#define FOUNDATION_DERIVED_TYPE(id, name, base)                             \
  extern const abi::__si_class_type_info id##_type __asm__("_ZTI" name); \
  extern __attribute__((weak)) const abi::__si_class_type_info id##_type(name, &base##_type)

FOUNDATION_ROOT_TYPE(stream_buffer, "13stream_buffer");
FOUNDATION_DERIVED_TYPE(deflating_buffer, "16deflating_buffer", stream_buffer);
