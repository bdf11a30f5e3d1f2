// One conversation of the installation protocol: the per-peer sequence and
// acknowledgement counters, the acceptance rules for received datagrams,
// and stop-and-wait delivery with time-outs taken from the wall clock.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "netinstall/interfaces.h"
#include "netinstall/protocol.h"

struct link_state {
  uint16_t send_seq = 1;       // put into every outgoing message
  uint16_t last_accepted = 0;  // of the last numbered message from the peer
  uint8_t own_address[MAC_SIZE] = {};
  uint8_t peer_address[MAC_SIZE] = {};  // all zero while no peer is known
};

// Counters back to the start of a conversation; the addresses stay.
void reset_counters(link_state& link);
void forget_peer(link_state& link);

// The header of an outgoing message; the caller writes the payload.
enum class ack_field { clear, valid };
void build_header(const link_state& link, uint8_t* message, uint16_t length, ack_field ack,
                  uint8_t kind);

// Whether a datagram of n bytes (negative for a failed receive) is meant
// for this side of the conversation. A datagram shorter than a header gets
// the start of its source address cleared, so that it matches no peer.
bool accept_address(const link_state& link, uint8_t* message, ssize_t n);

// accept_address, an acknowledgement not beyond what was sent, and for a
// numbered message the next sequence number, which is then accepted.
bool check_message(link_state& link, uint8_t* message, ssize_t n);

// A pure acknowledgement (length 0) of the last accepted message, sent once.
void send_ack(const link_state& link, interface_endpoint& endpoint);

// Whether a datagram that failed check_message repeats the message accepted
// last from the peer; such a repeat means the acknowledgement was lost.
bool is_repeat_of_last(const link_state& link, const uint8_t* message, ssize_t n);

// Wall-clock time in microseconds, or 0 when the clock cannot be read.
int64_t now_us();

// The next datagram of the endpoint, waiting at most timeout_us (0 polls);
// -1 on time-out or error.
ssize_t wait_receive(interface_endpoint& endpoint, uint8_t* buffer, int64_t timeout_us);

// Waits without time-out for a datagram or a key on standard input (not
// read here).
constexpr ssize_t WAIT_KEY = -2;
constexpr ssize_t WAIT_INTERRUPTED = -1;
constexpr ssize_t WAIT_ERROR = 0;
ssize_t wait_receive_or_key(interface_endpoint& endpoint, uint8_t* buffer);

// The first datagram until the deadline that passes check_message and
// either carries no acknowledgement or acknowledges send_seq; -1 when the
// time is up.
ssize_t wait_for_reply(interface_endpoint& endpoint, link_state& link, uint8_t* buffer,
                       int64_t timeout_us);

// Sends the message and waits for its reply, up to tries times; the reply's
// length, or -1 (at once when a send falls short).
ssize_t send_with_retry(interface_endpoint& endpoint, link_state& link, const uint8_t* message,
                        size_t size, uint8_t* reply, int64_t timeout_us, int tries);

// A control message of the tag alone (no acknowledgement), delivered with
// send_with_retry.
ssize_t send_tag(interface_endpoint& endpoint, link_state& link, const char* tag,
                 int64_t timeout_us, int tries);
