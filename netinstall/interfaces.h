// The Ethernet interfaces the network installation talks on: one UDP
// broadcast socket per interface, bound to it, with its MAC address.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "foundation/vector.h"
#include "netinstall/protocol.h"

struct interface_endpoint {
  uint8_t mac[MAC_SIZE] = {};
  int fd = -1;  // a value <= 0 means no socket
  uint16_t port = INSTALL_PORT;
  sockaddr_in destination = {};  // 255.255.255.255, the port
  sockaddr_in last_sender = {};  // of the last datagram received
};

// The usable interfaces of the machine. Owns its endpoints and their
// sockets; free_interfaces releases them.
struct interface_list {
  vector<interface_endpoint*> endpoints;  // each owned

  interface_list() = default;
  interface_list(const interface_list&) = delete;
  interface_list& operator=(const interface_list&) = delete;
  ~interface_list();
};

// Every interface of "/proc/net/dev" with a non-zero hardware address whose
// endpoint opens. An empty list when nothing qualifies or a hardware-address
// query fails.
void scan_interfaces(interface_list& list);

// Brings the interface up (UP, RUNNING, PROMISC), gives it 0.0.0.0 when it
// has no IPv4 address, and opens a broadcast socket bound to it and to the
// port, dropping the datagrams that come from the endpoint's own MAC address
// (set before). False, with no socket left open, when any step fails.
[[nodiscard]] bool open_endpoint(interface_endpoint& endpoint, const char* name, uint16_t port);

// Makes the kernel drop, before they wake anybody, the datagrams on fd whose
// source address field is mac. Broadcasts come back to the socket that sent
// them: without this every data block and every acknowledgement would wake
// its own sender once more, to be read and thrown away. False when the
// system refuses the filter.
bool drop_own_datagrams(int fd, const uint8_t* mac);

// One datagram to the endpoint's destination: what the system's send
// returns (bytes sent, or -1).
ssize_t endpoint_send(interface_endpoint& endpoint, const uint8_t* bytes, size_t length);

// One datagram of at most MAX_DATAGRAM bytes into buffer; records its
// sender. -1 on an error or when the sender's port is not the endpoint's.
ssize_t endpoint_receive(interface_endpoint& endpoint, uint8_t* buffer);

// The MAC address of endpoint index as text in one static buffer that the
// next call overwrites; none when index is not below the count.
const char* mac_text(const interface_list& list, size_t index);

bool has_interfaces(const interface_list& list);
size_t interface_count(const interface_list& list);

// Closes the sockets and frees the endpoints; the list is empty after it.
void free_interfaces(interface_list& list);
