// Feeds arbitrary datagrams (each a 2-byte little-endian length and its
// bytes) to both sides of the installation protocol: the server's list of
// announcing routers, and the router's acceptance rules, "FILE" headers,
// file names and data blocks. What the router hands on may never exceed
// the announced size or a block. Silent; returns 0.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "netinstall/file_transfer.h"
#include "netinstall/install_client.h"
#include "netinstall/install_server.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  close(null);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t own[MAC_SIZE] = {2, 0, 0, 0, 0, 1}, peer[MAC_SIZE] = {2, 0, 0, 0, 0, 2};
  interface_endpoint endpoint;  // no socket: acknowledgements go nowhere
  memcpy(endpoint.mac, own, MAC_SIZE);
  install_server* server = new install_server();
  link_state link;
  memcpy(link.own_address, own, MAC_SIZE);
  memcpy(link.peer_address, peer, MAC_SIZE);
  file_receiver* receiver = new file_receiver();
  init_file_receiver(*receiver, endpoint, link);
  bool in_file = false;
  for (size_t at = 0; at + 2 <= size;) {
    size_t n = (size_t)(data[at] | data[at + 1] << 8) % (MAX_DATAGRAM + 1);
    at += 2;
    if (n > size - at) n = size - at;
    uint8_t message[MAX_DATAGRAM] = {};
    memcpy(message, data + at, n);
    at += n;
    take_announcement(*server, endpoint, message, (ssize_t)n);
    memcpy(message, data + at - n, n);
    if (!check_message(link, message, (ssize_t)n) || message_length(message) == 0) continue;
    if (!in_file) {
      in_file = parse_file_header(message, receiver->name, sizeof receiver->name, &receiver->size);
      if (in_file) is_safe_file_name(receiver->name);
      receiver->delivered = 0;
      receiver->block_length = receiver->block_position = 0;
      continue;
    }
    memcpy(receiver->buffer, message, n);
    if (!take_data_block(*receiver, (ssize_t)n)) continue;
    uint8_t piece[MAX_DATAGRAM];
    size_t copied = copy_from_block(*receiver, piece, sizeof piece);
    if (copied > receiver->block_length || receiver->delivered > receiver->size) abort();
    in_file = receiver->delivered < receiver->size;
  }
  delete receiver;
  destroy_install_server(server);
  return 0;
}
