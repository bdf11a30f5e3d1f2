#include "netinstall/file_transfer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "setup/console.h"

namespace {

constexpr int64_t HEADER_WAIT_US = 1000000;
constexpr int64_t BLOCK_WAIT_US = 20000;
constexpr int64_t LONGEST_DOUBLED_WAIT_US = 999999;
constexpr int SEND_TRIES = 30;
constexpr int64_t RECEIVE_WAIT_US = 1000000;
constexpr int64_t RECEIVE_GIVE_UP_US = 30000000;

// The "FILE" header with the current send_seq, which is not advanced: the
// first block takes the next number.
void build_file_header(file_sender& sender, const char* name) {
  char* text = (char*)message_payload(sender.message);
  int length = snprintf(text, MAX_DATAGRAM - HEADER_SIZE, "%s\n%s\n%llu\n", TAG_FILE, name,
                        (unsigned long long)sender.size);
  if (length < 0 || (size_t)length >= MAX_DATAGRAM - HEADER_SIZE)
    length = (int)(MAX_DATAGRAM - HEADER_SIZE - 1);
  build_header(*sender.link, sender.message, (uint16_t)length, ack_field::clear, KIND_CONTROL);
  sender.message_size = HEADER_SIZE + (size_t)length;
}

void attach(file_sender& sender, interface_endpoint& endpoint, link_state& link) {
  sender.endpoint = &endpoint;
  sender.link = &link;
  sender.sent = 0;
}

// Refills the read-ahead of a file source; false when the file cannot be
// read or has nothing more.
bool read_ahead(file_sender& sender) {
  ssize_t n = read_retrying(sender.fd, sender.ahead, READ_AHEAD_SIZE);
  if (n <= 0) return false;
  sender.ahead_start = 0;
  sender.ahead_end = (size_t)n;
  return true;
}

// The next piece of the source into the message payload: its length, or
// -1 when the file cannot be read or ends before its size.
ssize_t read_block(file_sender& sender) {
  uint8_t* payload = message_payload(sender.message);
  uint64_t left = sender.size - sender.sent;
  if (sender.text) {
    memcpy(payload, sender.text + sender.sent, (size_t)left);
    return (ssize_t)left;
  }
  // Blocks stay full across the ends of read-ahead pieces: the message
  // count of an installation is worked out from full blocks.
  size_t wanted = left < DATA_BLOCK_SIZE ? (size_t)left : DATA_BLOCK_SIZE;
  size_t filled = 0;
  while (filled < wanted) {
    if (sender.ahead_start == sender.ahead_end && !read_ahead(sender)) return -1;
    size_t piece = sender.ahead_end - sender.ahead_start;
    if (piece > wanted - filled) piece = wanted - filled;
    memcpy(payload + filled, sender.ahead + sender.ahead_start, piece);
    sender.ahead_start += piece;
    filled += piece;
  }
  return (ssize_t)filled;
}

// Waits for the next numbered message of the peer, answering repeats of
// the last one; its length, or -1 after 30 s without one.
ssize_t wait_numbered(file_receiver& receiver) {
  int64_t start = now_us();
  for (;;) {
    ssize_t n = wait_receive(*receiver.endpoint, receiver.buffer, RECEIVE_WAIT_US);
    if (check_message(*receiver.link, receiver.buffer, n)) {
      if (message_length(receiver.buffer) > 0) return n;
      continue;  // a pure acknowledgement carries nothing to take
    }
    if (is_repeat_of_last(*receiver.link, receiver.buffer, n))
      send_ack(*receiver.link, *receiver.endpoint);
    if (now_us() - start > RECEIVE_GIVE_UP_US) return -1;
  }
}

}  // namespace

file_sender::~file_sender() {
  if (fd >= 0) close(fd);
  delete[] ahead;
}

bool open_file_sender(file_sender& sender, interface_endpoint& endpoint, link_state& link,
                      const char* path) {
  attach(sender, endpoint, link);
  sender.fd = open(path, O_RDONLY);
  struct stat status;
  if (sender.fd < 0 || fstat(sender.fd, &status) != 0) {
    console_print("FATAL ERROR: Open package failed\n");
    return false;
  }
  const char* slash = strrchr(path, '/');
  if (!slash) {
    console_print("FATAL ERROR: Bad package name\n");
    return false;
  }
  sender.size = (uint64_t)status.st_size;
  if (!sender.ahead) sender.ahead = new uint8_t[READ_AHEAD_SIZE];
  console_print("Transfering: %s...\n", slash + 1);
  console_flush();
  build_file_header(sender, slash + 1);
  return true;
}

void open_text_sender(file_sender& sender, interface_endpoint& endpoint, link_state& link,
                      const char* text) {
  attach(sender, endpoint, link);
  sender.text = text;
  sender.size = strlen(text);
  if (sender.size > MAX_DATAGRAM - HEADER_SIZE) sender.size = MAX_DATAGRAM - HEADER_SIZE;
  console_print("Transfering: configuration...\n");
  console_flush();
  build_file_header(sender, CONFIG_SCRIPT_NAME);
}

ssize_t send_block(file_sender& sender, block_step step) {
  if (step == block_step::repeat) {
    endpoint_send(*sender.endpoint, sender.message, sender.message_size);
    return 0;
  }
  if (sender.sent >= sender.size) return 0;
  ssize_t length = read_block(sender);
  if (length < 0) return -1;
  ++sender.link->send_seq;
  build_header(*sender.link, sender.message, (uint16_t)length, ack_field::clear, KIND_DATA);
  sender.message_size = HEADER_SIZE + (size_t)length;
  sender.sent += (uint64_t)length;
  endpoint_send(*sender.endpoint, sender.message, sender.message_size);
  return length;
}

bool send_file(file_sender& sender) {
  block_step step = block_step::repeat;
  int64_t timeout = HEADER_WAIT_US;
  int tries_left = SEND_TRIES;
  uint8_t reply[MAX_DATAGRAM];
  for (;;) {
    ssize_t n = send_block(sender, step);
    if (n < 0) {
      console_print("FATAL ERROR: Read package failed\n");
      return false;
    }
    if (step == block_step::advance && n == 0) return true;
    if (wait_for_reply(*sender.endpoint, *sender.link, reply, timeout) >= 0) {
      step = block_step::advance;
      timeout = BLOCK_WAIT_US;
      tries_left = SEND_TRIES;
      continue;
    }
    if (--tries_left == 0) {
      console_print("FATAL ERROR: Installation timeout\n");
      return false;
    }
    step = block_step::repeat;
    if (timeout <= LONGEST_DOUBLED_WAIT_US) timeout *= 2;
  }
}

uint64_t blocks_for(uint64_t size) {
  return (size + DATA_BLOCK_SIZE - 1) / DATA_BLOCK_SIZE;
}

void init_file_receiver(file_receiver& receiver, interface_endpoint& endpoint, link_state& link) {
  memset(receiver.name, 0, sizeof receiver.name);
  receiver.size = 0;
  receiver.block_length = receiver.block_position = 0;
  receiver.delivered = 0;
  receiver.pending = 0;
  receiver.endpoint = &endpoint;
  receiver.link = &link;
}

bool parse_file_header(const uint8_t* message, char* name, size_t name_size, int64_t* size) {
  if (message[OFFSET_KIND] != KIND_CONTROL || !has_tag(message, TAG_FILE)) return false;
  const char* text = (const char*)message_payload(message);
  const char* end = text + message_length(message);
  const char* name_start = (const char*)memchr(text, '\n', (size_t)(end - text));
  if (!name_start) return false;
  ++name_start;
  const char* name_end = (const char*)memchr(name_start, '\n', (size_t)(end - name_start));
  if (!name_end) return false;
  const char* size_end = (const char*)memchr(name_end + 1, '\n', (size_t)(end - name_end - 1));
  if (!size_end || size_end == name_end + 1) return false;
  int64_t value = 0;
  for (const char* digit = name_end + 1; digit < size_end; ++digit) {
    if (*digit < '0' || *digit > '9' || value > (INT64_MAX - 9) / 10) return false;
    value = value * 10 + (*digit - '0');
  }
  // A longer name keeps its first name_size - 1 bytes; whoever uses it
  // sees that it is too long for its own buffer.
  size_t length = (size_t)(name_end - name_start);
  if (length >= name_size) length = name_size - 1;
  memcpy(name, name_start, length);
  name[length] = '\0';
  *size = value;
  return true;
}

bool receive_file_header(file_receiver& receiver) {
  receiver.size = 0;
  receiver.block_length = receiver.block_position = 0;
  receiver.delivered = 0;
  ssize_t n = receiver.pending;
  receiver.pending = 0;
  if (n <= 0) n = wait_numbered(receiver);
  if (n < 0 ||
      !parse_file_header(receiver.buffer, receiver.name, sizeof receiver.name, &receiver.size)) {
    receiver.name[0] = '\0';
    receiver.size = 0;
    return false;
  }
  send_ack(*receiver.link, *receiver.endpoint);
  return true;
}

bool take_data_block(file_receiver& receiver, ssize_t n) {
  if (n < (ssize_t)HEADER_SIZE || receiver.buffer[OFFSET_KIND] != KIND_DATA) return false;
  receiver.block_length = message_length(receiver.buffer);
  receiver.block_position = 0;
  send_ack(*receiver.link, *receiver.endpoint);
  return receiver.block_length > 0;
}

size_t copy_from_block(file_receiver& receiver, uint8_t* buffer, size_t capacity) {
  size_t piece = receiver.block_length - receiver.block_position;
  if (piece > capacity) piece = capacity;
  if ((int64_t)piece > receiver.size - receiver.delivered)
    piece = (size_t)(receiver.size - receiver.delivered);
  memcpy(buffer, message_payload(receiver.buffer) + receiver.block_position, piece);
  receiver.block_position += piece;
  receiver.delivered += (int64_t)piece;
  return piece;
}

ssize_t read_file_data(file_receiver& receiver, uint8_t* buffer, size_t capacity) {
  size_t copied = 0;
  while (copied < capacity && receiver.delivered < receiver.size) {
    if (receiver.block_position == receiver.block_length) {
      ssize_t n = wait_numbered(receiver);
      if (n < 0 || !take_data_block(receiver, n)) return -1;
    }
    copied += copy_from_block(receiver, buffer + copied, capacity - copied);
  }
  return (ssize_t)copied;
}
