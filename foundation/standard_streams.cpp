#include "foundation/fd_buffers.h"
#include "foundation/memory.h"
#include "foundation/streams.h"

namespace {

// The standard streams and their buffers live in static storage that is never
// destroyed: a destructor would flush at exit, and the programs rely on text
// without endl never reaching the descriptor.
alignas(fd_input_buffer) unsigned char input_buffer_bytes[sizeof(fd_input_buffer)];
alignas(fd_output_buffer) unsigned char output_buffer_bytes[sizeof(fd_output_buffer)];
alignas(fd_output_buffer) unsigned char error_buffer_bytes[sizeof(fd_output_buffer)];
alignas(input_stream) unsigned char input_stream_bytes[sizeof(input_stream)];
alignas(output_stream) unsigned char output_stream_bytes[sizeof(output_stream)];
alignas(output_stream) unsigned char error_stream_bytes[sizeof(output_stream)];

struct standard_streams_setup {
  standard_streams_setup() {
    new (in_place, input_stream_bytes)
        input_stream(new (in_place, input_buffer_bytes) fd_input_buffer(0));
    new (in_place, output_stream_bytes)
        output_stream(new (in_place, output_buffer_bytes) fd_output_buffer(1));
    new (in_place, error_stream_bytes)
        output_stream(new (in_place, error_buffer_bytes) fd_output_buffer(2));
  }
};

// Before every ordinary static constructor, so that those may print too.
standard_streams_setup setup_standard_streams __attribute__((init_priority(101)));

}  // namespace

input_stream& standard_input = *reinterpret_cast<input_stream*>(input_stream_bytes);
output_stream& standard_output = *reinterpret_cast<output_stream*>(output_stream_bytes);
output_stream& standard_error = *reinterpret_cast<output_stream*>(error_stream_bytes);
