#include "netinstall/link.h"

#include <errno.h>
#include <string.h>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const uint8_t NO_ADDRESS[MAC_SIZE] = {};

bool same_address(const uint8_t* a, const uint8_t* b) {
  return memcmp(a, b, MAC_SIZE) == 0;
}

timeval to_timeval(int64_t us) {
  timeval value;
  value.tv_sec = (time_t)(us / 1000000);
  value.tv_usec = (suseconds_t)(us % 1000000);
  return value;
}

}  // namespace

void reset_counters(link_state& link) {
  link.send_seq = 1;
  link.last_accepted = 0;
}

void forget_peer(link_state& link) {
  memset(link.peer_address, 0, MAC_SIZE);
}

void build_header(const link_state& link, uint8_t* message, uint16_t length, ack_field ack,
                  uint8_t kind) {
  memcpy(message + OFFSET_SOURCE, link.own_address, MAC_SIZE);
  memcpy(message + OFFSET_DESTINATION, link.peer_address, MAC_SIZE);
  message[OFFSET_FLAGS] = ack == ack_field::valid ? FLAG_ACK : 0;
  message[OFFSET_KIND] = kind;
  write_u16(message + OFFSET_LENGTH, length);
  write_u16(message + OFFSET_SEQUENCE, link.send_seq);
  write_u16(message + OFFSET_ACK, ack == ack_field::valid ? link.last_accepted : 0);
}

bool accept_address(const link_state& link, uint8_t* message, ssize_t n) {
  if (n < (ssize_t)HEADER_SIZE) {
    memset(message, 0, 4);
    return false;
  }
  if ((size_t)n != HEADER_SIZE + message_length(message)) return false;
  const uint8_t* source = message + OFFSET_SOURCE;
  const uint8_t* destination = message + OFFSET_DESTINATION;
  if (same_address(source, link.own_address)) return false;  // our own broadcast
  bool no_peer = same_address(link.peer_address, NO_ADDRESS);
  bool to_us = same_address(destination, link.own_address) ||
               (same_address(destination, NO_ADDRESS) && no_peer);
  return to_us && (no_peer || same_address(source, link.peer_address));
}

bool check_message(link_state& link, uint8_t* message, ssize_t n) {
  if (!accept_address(link, message, n)) return false;
  if ((message[OFFSET_FLAGS] & FLAG_ACK) && message_ack(message) > link.send_seq) return false;
  if (message_length(message) == 0) return true;
  // Compared as integers: after 65535 nothing is accepted any more.
  if ((uint32_t)message_sequence(message) != (uint32_t)link.last_accepted + 1) return false;
  link.last_accepted = message_sequence(message);
  return true;
}

void send_ack(const link_state& link, interface_endpoint& endpoint) {
  uint8_t message[HEADER_SIZE];
  build_header(link, message, 0, ack_field::valid, KIND_CONTROL);
  endpoint_send(endpoint, message, sizeof message);
}

bool is_repeat_of_last(const link_state& link, const uint8_t* message, ssize_t n) {
  return n >= (ssize_t)HEADER_SIZE && message_length(message) > 0 &&
         same_address(message + OFFSET_SOURCE, link.peer_address) &&
         message_sequence(message) == link.last_accepted;
}

int64_t now_us() {
  timeval now;
  if (gettimeofday(&now, nullptr) != 0) return 0;
  return (int64_t)now.tv_sec * 1000000 + now.tv_usec;
}

ssize_t wait_receive(interface_endpoint& endpoint, uint8_t* buffer, int64_t timeout_us) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(endpoint.fd, &readable);
  timeval timeout = to_timeval(timeout_us < 0 ? 0 : timeout_us);
  if (select(endpoint.fd + 1, &readable, nullptr, nullptr, &timeout) <= 0) return -1;
  return endpoint_receive(endpoint, buffer);
}

ssize_t wait_receive_or_key(interface_endpoint& endpoint, uint8_t* buffer) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(0, &readable);
  FD_SET(endpoint.fd, &readable);
  int ready = select(endpoint.fd + 1, &readable, nullptr, nullptr, nullptr);
  if (ready < 0) return errno == EINTR ? WAIT_INTERRUPTED : WAIT_ERROR;
  if (ready == 0) return WAIT_ERROR;
  if (FD_ISSET(0, &readable)) return WAIT_KEY;
  return endpoint_receive(endpoint, buffer);
}

ssize_t wait_for_reply(interface_endpoint& endpoint, link_state& link, uint8_t* buffer,
                       int64_t timeout_us) {
  int64_t deadline = now_us() + timeout_us;
  for (int64_t now = now_us(); now < deadline; now = now_us()) {
    ssize_t n = wait_receive(endpoint, buffer, deadline - now);
    if (!check_message(link, buffer, n)) continue;
    if (!(buffer[OFFSET_FLAGS] & FLAG_ACK) || message_ack(buffer) == link.send_seq) return n;
  }
  return -1;
}

ssize_t send_with_retry(interface_endpoint& endpoint, link_state& link, const uint8_t* message,
                        size_t size, uint8_t* reply, int64_t timeout_us, int tries) {
  for (int i = 0; i < tries; ++i) {
    if (endpoint_send(endpoint, message, size) != (ssize_t)size) return -1;
    ssize_t n = wait_for_reply(endpoint, link, reply, timeout_us);
    if (n >= 0) return n;
  }
  return -1;
}

ssize_t send_tag(interface_endpoint& endpoint, link_state& link, const char* tag,
                 int64_t timeout_us, int tries) {
  uint8_t message[HEADER_SIZE + TAG_SIZE];
  build_header(link, message, TAG_SIZE, ack_field::clear, KIND_CONTROL);
  memcpy(message_payload(message), tag, TAG_SIZE);
  uint8_t reply[MAX_DATAGRAM];
  return send_with_retry(endpoint, link, message, sizeof message, reply, timeout_us, tries);
}
