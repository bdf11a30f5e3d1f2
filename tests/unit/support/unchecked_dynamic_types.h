// Switches off UBSan's dynamic type check for the rest of a test file.
//
// The foundation is built without run-time type information and the tests
// with it. In the clang sanitizer build the vptr check then finds no type
// information in the foundation's vtables and reports every call on a
// foundation object; worse, an inline function instantiated in a test file
// with the check can be the copy the linker keeps for the foundation too.
// A test file that uses polymorphic foundation classes therefore starts with
//   #include "support/unchecked_dynamic_types.h"
//   BEGIN_UNCHECKED_DYNAMIC_TYPES
// before its other includes, and ends with END_UNCHECKED_DYNAMIC_TYPES.
// Building the tests with -fno-rtti would make this and
// foundation_type_info.cpp unnecessary.
#pragma once

#if defined(__clang__)
#define BEGIN_UNCHECKED_DYNAMIC_TYPES \
  _Pragma("clang attribute push(__attribute__((no_sanitize(\"vptr\"))), apply_to = function)")
#define END_UNCHECKED_DYNAMIC_TYPES _Pragma("clang attribute pop")
#else
#define BEGIN_UNCHECKED_DYNAMIC_TYPES
#define END_UNCHECKED_DYNAMIC_TYPES
#endif
