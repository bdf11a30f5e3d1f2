// Feeds arbitrary bytes to the decompressing stream as its compressed source
// and reads, skips and puts back through it. Silent; every failure is fine.
#include <stddef.h>
#include <stdint.h>

#include "foundation/compressed_streams.h"
#include "memory_buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  memory_buffer source(data, size);
  input_stream plain(&source);
  inflating_input_stream in(plain);
  char chunk[1500];
  // The length and the last byte pick the mix of operations.
  uint32_t choice = (uint32_t)size * 2654435761u + (size > 0 ? data[size - 1] : 0);
  for (int step = 0; in.good() && step < 64; ++step) {
    choice = choice * 1103515245u + 12345u;
    switch ((choice >> 16) % 5) {
      case 0: in.read(chunk, 1 + choice % sizeof chunk); break;
      case 1: in.get(); in.unget(); in.get(); break;
      case 2: in.seekg(choice % 3000, SEEK_FROM_CURRENT); break;
      case 3: in.seekg(in.tellg() + choice % 100); break;
      case 4: in.ignore(5000, '\n'); break;
    }
  }
  return 0;
}
