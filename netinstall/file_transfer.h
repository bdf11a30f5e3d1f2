// Files over the installation protocol: a "FILE" header message naming the
// file and its size, then data blocks of at most DATA_BLOCK_SIZE bytes, each
// delivered stop-and-wait.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "netinstall/interfaces.h"
#include "netinstall/link.h"
#include "netinstall/protocol.h"

constexpr size_t READ_AHEAD_SIZE = 65536;

// The server side of one file. Owns the descriptor of a file source and its
// read-ahead; the text, the endpoint and the link are not owned.
struct file_sender {
  int fd = -1;                 // file source, owned
  const char* text = nullptr;  // text source, not owned
  uint64_t size = 0;
  uint64_t sent = 0;
  // A file is read in large pieces, and each block is taken from them: one
  // read for many blocks instead of one per block.
  uint8_t* ahead = nullptr;  // owned, READ_AHEAD_SIZE bytes once a file is open
  size_t ahead_start = 0;    // the next unsent byte in ahead
  size_t ahead_end = 0;      // the end of what was read into ahead
  interface_endpoint* endpoint = nullptr;
  link_state* link = nullptr;
  uint8_t message[MAX_DATAGRAM];  // the message built last, header and payload
  size_t message_size = 0;

  file_sender() = default;
  file_sender(const file_sender&) = delete;
  file_sender& operator=(const file_sender&) = delete;
  ~file_sender();
};

// A package file, named by the part of its path after the last "/". Prints
// "Transfering: %s...", or the reason it fails.
[[nodiscard]] bool open_file_sender(file_sender& sender, interface_endpoint& endpoint,
                                    link_state& link, const char* path);
// The configuration text, sent as "autorun.scr" in a single block.
void open_text_sender(file_sender& sender, interface_endpoint& endpoint, link_state& link,
                      const char* text);

// Without advance the message built last again (0); with advance the next
// block: its length, 0 when everything was sent, -1 when a read fails.
enum class block_step { repeat, advance };
ssize_t send_block(file_sender& sender, block_step step);

// The header and every block, each retried until acknowledged. Prints the
// reason when it fails.
[[nodiscard]] bool send_file(file_sender& sender);

// Data blocks needed for a file of size bytes (the header not counted).
uint64_t blocks_for(uint64_t size);

// The router side of the conversation. The endpoint and the link are not
// owned.
struct file_receiver {
  char name[HEADER_NAME_SIZE] = {};
  int64_t size = 0;                   // announced by the header
  size_t block_length = 0;            // of the current block
  int64_t delivered = 0;              // bytes handed out of this file
  size_t block_position = 0;          // read position inside the current block
  uint8_t buffer[MAX_DATAGRAM] = {};  // the last datagram received
  // A header that arrived in place of the acknowledgement of "STRT" (that
  // acknowledgement was lost): already accepted, not yet taken.
  ssize_t pending = 0;
  interface_endpoint* endpoint = nullptr;
  link_state* link = nullptr;
};

void init_file_receiver(file_receiver& receiver, interface_endpoint& endpoint, link_state& link);

// The name and size of a "FILE" header message: "FILE\n<name>\n<size>\n".
// False when it is not one, when the size is not a decimal number, or when
// the name does not fit name_size.
[[nodiscard]] bool parse_file_header(const uint8_t* message, char* name, size_t name_size,
                                     int64_t* size);

// Waits for the next "FILE" header (30 s) and acknowledges it.
[[nodiscard]] bool receive_file_header(file_receiver& receiver);

// Takes a message that passed check_message as the next data block; false
// when it is not one. Pure acknowledgements are no blocks.
[[nodiscard]] bool take_data_block(file_receiver& receiver, ssize_t n);

// Copies what the current block still holds of the file, at most capacity
// bytes; the count.
size_t copy_from_block(file_receiver& receiver, uint8_t* buffer, size_t capacity);

// The next bytes of the current file (at most capacity), 0 at its end, -1
// when no block came within 30 s or a wrong message came.
ssize_t read_file_data(file_receiver& receiver, uint8_t* buffer, size_t capacity);
