#include "foundation/require.h"

#include <stdio.h>
#include <stdlib.h>

void requirement_failed(const char* expression, const char* file, int line) {
  fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, expression);
  abort();
}
