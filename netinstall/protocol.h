// The installation protocol's wire format: port, sizes, the 20-byte message
// header and the message tags. Routers already in the field speak exactly
// this, so none of these numbers may change.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Source and destination port of every datagram of the protocol.
constexpr uint16_t INSTALL_PORT = 5000;

constexpr size_t MAC_SIZE = 6;
constexpr size_t MAX_DATAGRAM = 4096;
constexpr size_t HEADER_SIZE = 20;
// A data block with its header fills the UDP payload of one full-size
// Ethernet frame (1500 - 20 IP - 8 UDP = 1472 = 20 + 1452).
constexpr size_t DATA_BLOCK_SIZE = 1452;

// Header fields (all 16-bit fields little-endian).
constexpr size_t OFFSET_SOURCE = 0;
constexpr size_t OFFSET_DESTINATION = 6;
constexpr size_t OFFSET_FLAGS = 12;
constexpr size_t OFFSET_KIND = 13;
constexpr size_t OFFSET_LENGTH = 14;
constexpr size_t OFFSET_SEQUENCE = 16;
constexpr size_t OFFSET_ACK = 18;

constexpr uint8_t FLAG_ACK = 1;  // the acknowledgement field is valid
constexpr uint8_t KIND_CONTROL = 0;
constexpr uint8_t KIND_DATA = 1;

// A conversation numbers at most this many messages: sequence numbers do
// not wrap, and 65535 + 1 never follows 65535.
constexpr uint32_t MAX_SEQUENCE = 65535;

// Texts the router keeps in 32-byte buffers: its disk label and the name of
// the file being received (31 characters and a terminator).
constexpr size_t LABEL_SIZE = 32;
constexpr size_t FILE_NAME_SIZE = 32;
// The receiver keeps at most this many bytes of a "FILE" header's name.
constexpr size_t HEADER_NAME_SIZE = 80;

// The configuration script the server generates, and its name on the router.
constexpr size_t CONFIG_SCRIPT_SIZE = 1024;
constexpr const char CONFIG_SCRIPT_NAME[] = "autorun.scr";

// Control messages start with one of these four-letter tags.
constexpr const char TAG_DISCOVER[] = "DSCV";
constexpr const char TAG_OFFER[] = "OFFR";
constexpr const char TAG_ACCEPT[] = "YACK";
constexpr const char TAG_START[] = "STRT";
constexpr const char TAG_FILE[] = "FILE";
constexpr const char TAG_END[] = "TERM";
constexpr size_t TAG_SIZE = 4;

inline uint16_t read_u16(const uint8_t* bytes) {
  return (uint16_t)(bytes[0] | (bytes[1] << 8));
}

inline void write_u16(uint8_t* bytes, uint16_t value) {
  bytes[0] = (uint8_t)(value & 0xFF);
  bytes[1] = (uint8_t)(value >> 8);
}

inline uint16_t message_length(const uint8_t* message) {
  return read_u16(message + OFFSET_LENGTH);
}
inline uint16_t message_sequence(const uint8_t* message) {
  return read_u16(message + OFFSET_SEQUENCE);
}
inline uint16_t message_ack(const uint8_t* message) {
  return read_u16(message + OFFSET_ACK);
}
inline const uint8_t* message_payload(const uint8_t* message) {
  return message + HEADER_SIZE;
}
inline uint8_t* message_payload(uint8_t* message) {
  return message + HEADER_SIZE;
}

// Whether a received message's payload starts with the tag.
bool has_tag(const uint8_t* message, const char* tag);

// "%02X:%02X:%02X:%02X:%02X:%02X" into text (at least 18 bytes).
void format_mac(const uint8_t* mac, char* text);
