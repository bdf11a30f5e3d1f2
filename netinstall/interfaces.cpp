#include "netinstall/interfaces.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t PROC_LINE_SIZE = 256;
// Only the hardware-address query uses this socket; any IPv4 socket that
// the kernel lets a root process open will do.
constexpr int QUERY_PROTOCOL = 250;
constexpr short WANTED_FLAGS = IFF_UP | IFF_RUNNING | IFF_PROMISC;

bool is_zero_mac(const unsigned char* mac) {
  for (size_t i = 0; i < MAC_SIZE; ++i) {
    if (mac[i]) return false;
  }
  return true;
}

void copy_interface_name(struct ifreq& request, const char* name) {
  memset(&request, 0, sizeof request);
  size_t length = strnlen(name, IFNAMSIZ - 1);
  memcpy(request.ifr_name, name, length);
}

// The interface name of one line of "/proc/net/dev": the first word, cut
// at its first ":". False for a line without one.
bool interface_name_of(char* line, char* name, size_t size) {
  char* word = line + strspn(line, " \t");
  size_t length = strcspn(word, " \t\n");
  char* colon = (char*)memchr(word, ':', length);
  if (colon) length = (size_t)(colon - word);
  if (length == 0) return false;
  if (length >= size) length = size - 1;
  memcpy(name, word, length);
  name[length] = '\0';
  return true;
}

bool raise_flags(int fd, const char* name) {
  struct ifreq request;
  copy_interface_name(request, name);
  if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) return false;
  request.ifr_flags = (short)(request.ifr_flags | WANTED_FLAGS);
  return ioctl(fd, SIOCSIFFLAGS, &request) == 0;
}

// An interface without an IPv4 address gets 0.0.0.0, so that it can send
// and receive IPv4 broadcasts.
bool ensure_address(int fd, const char* name) {
  struct ifreq request;
  copy_interface_name(request, name);
  if (ioctl(fd, SIOCGIFADDR, &request) == 0) return true;
  sockaddr_in* address = (sockaddr_in*)&request.ifr_addr;
  address->sin_family = AF_INET;
  inet_aton("0.0.0.0", &address->sin_addr);
  return ioctl(fd, SIOCSIFADDR, &request) == 0;
}

bool configure_socket(int fd, const char* name, uint16_t port) {
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return false;
  if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, (socklen_t)(strlen(name) + 1)) != 0)
    return false;
  if (!raise_flags(fd, name) || !ensure_address(fd, name)) return false;
  sockaddr_in local;
  memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  return bind(fd, (sockaddr*)&local, sizeof local) == 0;
}

// The kernel's classic packet filter, as its interface defines it (the
// router's C library has no header for it): one instruction, a program, and
// the operation codes used below.
struct filter_instruction {
  uint16_t code;
  uint8_t jump_if_true;
  uint8_t jump_if_false;
  uint32_t operand;
};
struct filter_program {
  unsigned short length;
  filter_instruction* instructions;
};
constexpr uint16_t LOAD_WORD_AT = 0x20;      // A = 32 bits at operand, big-endian
constexpr uint16_t LOAD_HALF_AT = 0x28;      // A = 16 bits at operand, big-endian
constexpr uint16_t LOAD_LENGTH = 0x80;       // A = the datagram's length
constexpr uint16_t JUMP_IF_EQUAL = 0x15;     // A == operand
constexpr uint16_t JUMP_IF_AT_LEAST = 0x35;  // A >= operand
constexpr uint16_t RETURN = 0x06;            // keep operand bytes; 0 drops

// The filter sees a received datagram from its UDP header on: the protocol
// header starts after these bytes.
constexpr uint32_t UDP_HEADER_SIZE = 8;

// Adds the endpoint of one interface; false when the scan must end empty.
bool add_interface(interface_list& list, int query, const char* name) {
  struct ifreq request;
  copy_interface_name(request, name);
  if (ioctl(query, SIOCGIFHWADDR, &request) != 0) return false;
  const unsigned char* mac = (const unsigned char*)request.ifr_hwaddr.sa_data;
  if (is_zero_mac(mac)) return true;  // the loopback interface, for one
  interface_endpoint* endpoint = new interface_endpoint();
  memcpy(endpoint->mac, mac, MAC_SIZE);
  if (open_endpoint(*endpoint, name, INSTALL_PORT)) {
    list.endpoints.push_back(endpoint);
  } else {
    delete endpoint;
  }
  return true;
}

}  // namespace

bool has_tag(const uint8_t* message, const char* tag) {
  return message_length(message) >= TAG_SIZE &&
         memcmp(message_payload(message), tag, TAG_SIZE) == 0;
}

void format_mac(const uint8_t* mac, char* text) {
  snprintf(text, 18, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
           mac[5]);
}

interface_list::~interface_list() {
  free_interfaces(*this);
}

void scan_interfaces(interface_list& list) {
  free_interfaces(list);
  FILE* table = fopen("/proc/net/dev", "r");
  if (!table) return;
  int query = socket(AF_INET, SOCK_RAW, QUERY_PROTOCOL);
  if (query < 0) {
    fclose(table);
    return;
  }
  char line[PROC_LINE_SIZE];
  for (int skipped = 0; skipped < 2 && fgets(line, sizeof line, table);) ++skipped;
  while (fgets(line, sizeof line, table)) {
    char name[IFNAMSIZ];
    if (!interface_name_of(line, name, sizeof name)) continue;
    if (!add_interface(list, query, name)) {
      free_interfaces(list);
      break;
    }
  }
  close(query);
  fclose(table);
}

bool drop_own_datagrams(int fd, const uint8_t* mac) {
  uint32_t first_four =
      (uint32_t)mac[0] << 24 | (uint32_t)mac[1] << 16 | (uint32_t)mac[2] << 8 | mac[3];
  uint32_t last_two = (uint32_t)mac[4] << 8 | mac[5];
  const uint32_t source = UDP_HEADER_SIZE + OFFSET_SOURCE;
  // Datagrams too short for a header are kept: the protocol code rejects
  // them itself. Jumps count the instructions they skip.
  filter_instruction program[] = {
      {LOAD_LENGTH, 0, 0, 0},
      {JUMP_IF_AT_LEAST, 0, 4, UDP_HEADER_SIZE + HEADER_SIZE},
      {LOAD_WORD_AT, 0, 0, source},
      {JUMP_IF_EQUAL, 0, 2, first_four},
      {LOAD_HALF_AT, 0, 0, source + 4},
      {JUMP_IF_EQUAL, 1, 0, last_two},
      {RETURN, 0, 0, 0xFFFFFFFFu},  // keep the whole datagram
      {RETURN, 0, 0, 0},            // drop it
  };
  filter_program filter = {(unsigned short)(sizeof program / sizeof program[0]), program};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

bool open_endpoint(interface_endpoint& endpoint, const char* name, uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  if (!configure_socket(fd, name, port)) {
    close(fd);
    return false;
  }
  // Without the filter the protocol code still rejects its own datagrams,
  // only later: nothing depends on it but speed.
  (void)drop_own_datagrams(fd, endpoint.mac);
  endpoint.fd = fd;
  endpoint.port = port;
  memset(&endpoint.destination, 0, sizeof endpoint.destination);
  endpoint.destination.sin_family = AF_INET;
  endpoint.destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  endpoint.destination.sin_port = htons(port);
  return true;
}

ssize_t endpoint_send(interface_endpoint& endpoint, const uint8_t* bytes, size_t length) {
  ssize_t sent;
  do {
    sent = sendto(endpoint.fd, bytes, length, 0, (const sockaddr*)&endpoint.destination,
                  sizeof endpoint.destination);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

ssize_t endpoint_receive(interface_endpoint& endpoint, uint8_t* buffer) {
  socklen_t size = sizeof endpoint.last_sender;
  ssize_t n;
  do {
    n = recvfrom(endpoint.fd, buffer, MAX_DATAGRAM, 0, (sockaddr*)&endpoint.last_sender, &size);
  } while (n < 0 && errno == EINTR);
  if (n < 0 || ntohs(endpoint.last_sender.sin_port) != endpoint.port) return -1;
  return n;
}

const char* mac_text(const interface_list& list, size_t index) {
  static char text[18];
  if (index >= list.endpoints.size()) return nullptr;
  format_mac(list.endpoints[index]->mac, text);
  return text;
}

bool has_interfaces(const interface_list& list) {
  return !list.endpoints.empty();
}

size_t interface_count(const interface_list& list) {
  return list.endpoints.size();
}

void free_interfaces(interface_list& list) {
  for (interface_endpoint* endpoint : list.endpoints) {
    if (endpoint->fd > 0) close(endpoint->fd);
    delete endpoint;
  }
  list.endpoints.clear();
}
