// Shared by the input stream's reading and its text extraction.
#pragma once

#include "foundation/streams.h"

// Returns a byte just taken; a buffer that refuses has lost it, hence bad.
inline void give_back(input_stream& stream, int c) {
  if (stream.rdbuf()->put_back(c) == END_OF_DATA) stream.setstate(STATE_BAD);
}
