// The fuzz bytes as a read-only source buffer that cannot seek.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "foundation/stream_buffer.h"

class memory_buffer : public stream_buffer {
 public:
  memory_buffer(const uint8_t* data, size_t size) {
    char* begin = (char*)data;  // never written through: there is no put area
    set_get_area(begin, begin, begin + size);
  }
};
