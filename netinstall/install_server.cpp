#include "netinstall/install_server.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include "menu/screen.h"
#include "netinstall/file_transfer.h"
#include "netinstall/router_questions.h"
#include "setup/child_programs.h"
#include "setup/console.h"

namespace {

constexpr int LIST_ROW = 5;
constexpr int BOTTOM_ROW = 25;
constexpr int ESCAPE = 27;
constexpr int64_t OFFER_WAIT_US = 1000000;
constexpr int OFFER_TRIES = 10;
// The router prepares its disk meanwhile: up to 30 minutes.
constexpr int64_t DISK_WAIT_US = 1000000;
constexpr int DISK_TRIES = 1800;
constexpr int64_t END_WAIT_US = 100000;
constexpr int END_TRIES = 5;

const char* const HELP_TEXT =
    "Select router using 'p' and 'n' or arrow keys. Press 'enter' to proceed or 'q' to return";

// Prints the one line that ends an attempt and waits for a key.
__attribute__((format(printf, 1, 2))) void complain(const char* format, ...) {
  char text[160];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  console_print("\n%s (press any key)\n", text);
  console_flush();
  read_key();
}

void draw_routers(const install_server& server) {
  move_cursor(0, LIST_ROW);
  if (server.count > 0)
    console_print("Found %u %s: \n\n", server.count, server.count == 1 ? "router" : "routers");
  for (const router_entry* entry = server.routers; entry; entry = entry->next) {
    console_print("\e[m\e[2K");
    if (entry == server.selected) console_print("\e[m\e[7m");
    char mac[18];
    format_mac(entry->mac, mac);
    console_print(" %s (%s) \n", mac, entry->label);
  }
  console_print("\e[m\e[2K");
  console_flush();
}

router_entry* newer_than(const install_server& server, const router_entry* entry) {
  for (router_entry* other = server.routers; other; other = other->next) {
    if (other->next == entry) return other;
  }
  return nullptr;
}

enum class key_outcome { stay, leave };

key_outcome handle_key(install_server& server, int key) {
  if (key == ESCAPE) {
    key = read_key();
    if (key == '[') {
      key = read_key();
      if (key == 'A') key = 'p';
      if (key == 'B') key = 'n';
    }
  }
  switch (key) {
    case 'p':
    case 'P':
      if (server.selected && newer_than(server, server.selected)) {
        server.selected = newer_than(server, server.selected);
        draw_routers(server);
      }
      return key_outcome::stay;
    case 'n':
    case 'N':
      if (server.selected && server.selected->next) server.selected = server.selected->next;
      draw_routers(server);
      return key_outcome::stay;
    case '\n':
      return server.selected ? key_outcome::leave : key_outcome::stay;
    case -1:  // the console is gone: nobody can choose
    case 'q':
    case 'Q':
      move_cursor(0, BOTTOM_ROW);
      server.selected = nullptr;
      return key_outcome::leave;
    default:
      return key_outcome::stay;
  }
}

bool has_router(const install_server& server, const uint8_t* mac) {
  for (const router_entry* entry = server.routers; entry; entry = entry->next) {
    if (memcmp(entry->mac, mac, MAC_SIZE) == 0) return true;
  }
  return false;
}

bool is_zero(const uint8_t* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i]) return false;
  }
  return true;
}

// The label line of an announcement: after the tag's line, up to its line
// feed, at most LABEL_SIZE - 1 characters. Bytes that would steer the
// server's screen are shown as '?'.
bool announcement_label(const uint8_t* message, char* label) {
  const char* text = (const char*)message_payload(message);
  const char* end = text + message_length(message);
  const char* start = (const char*)memchr(text, '\n', (size_t)(end - text));
  if (!start) return false;
  ++start;
  const char* stop = (const char*)memchr(start, '\n', (size_t)(end - start));
  if (!stop || (size_t)(stop - start) >= LABEL_SIZE) return false;
  size_t length = (size_t)(stop - start);
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = (unsigned char)start[i];
    label[i] = c < 32 || c >= 127 ? '?' : (char)c;
  }
  label[length] = '\0';
  return true;
}

void free_routers(install_server& server) {
  while (router_entry* entry = server.routers) {
    server.routers = entry->next;
    delete entry;
  }
  server.count = 0;
  server.selected = nullptr;
}

// Fills readable with the keyboard and every endpoint; the highest
// descriptor plus one.
int watch_all(const install_server& server, fd_set& readable) {
  FD_ZERO(&readable);
  FD_SET(0, &readable);
  int highest = 0;
  for (const interface_endpoint* endpoint : server.interfaces.endpoints) {
    FD_SET(endpoint->fd, &readable);
    if (endpoint->fd > highest) highest = endpoint->fd;
  }
  return highest + 1;
}

void receive_on_readable(install_server& server, fd_set& readable) {
  uint8_t message[MAX_DATAGRAM];
  for (interface_endpoint* endpoint : server.interfaces.endpoints) {
    if (!FD_ISSET(endpoint->fd, &readable)) continue;
    ssize_t n = endpoint_receive(*endpoint, message);
    if (n > 0 && take_announcement(server, *endpoint, message, n)) draw_routers(server);
  }
}

// Package file names the router keeps whole, and a message count that fits
// one conversation. Says what is wrong and waits for a key otherwise.
bool check_install_list(install_order& order) {
  vector<uint64_t> sizes;
  while (const char* path = next_package_path(order)) {
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    struct stat status;
    if (stat(path, &status) != 0) {
      complain("FATAL ERROR: Open package failed");
      return false;
    }
    if (strlen(name) >= FILE_NAME_SIZE) {
      complain("Package file name too long for the router: %s", name);
      return false;
    }
    sizes.push_back((uint64_t)status.st_size);
  }
  install_order_rewind(order);
  if (installation_messages(sizes.begin(), sizes.size()) > MAX_SEQUENCE) {
    complain("Selected packages too big for one network installation");
    return false;
  }
  return true;
}

}  // namespace

install_server* create_install_server() {
  install_server* server = new install_server();
  scan_interfaces(server->interfaces);
  return server;
}

void destroy_install_server(install_server* server) {
  if (!server) return;
  free_routers(*server);
  delete server;
}

bool take_announcement(install_server& server, interface_endpoint& endpoint, uint8_t* message,
                       ssize_t n) {
  reset_counters(server.link);
  memcpy(server.link.own_address, endpoint.mac, MAC_SIZE);
  if (!check_message(server.link, message, n)) return false;
  char label[LABEL_SIZE];
  if (has_router(server, message + OFFSET_SOURCE) ||
      !is_zero(message + OFFSET_DESTINATION, MAC_SIZE) || message_ack(message) != 0 ||
      message[OFFSET_KIND] != KIND_CONTROL || !has_tag(message, TAG_DISCOVER) ||
      !announcement_label(message, label))
    return false;
  router_entry* entry = new router_entry();
  entry->endpoint = &endpoint;
  memcpy(entry->mac, message + OFFSET_SOURCE, MAC_SIZE);
  memcpy(entry->label, label, sizeof label);
  entry->next = server.routers;
  server.routers = entry;
  if (!server.selected) server.selected = entry;
  ++server.count;
  return true;
}

bool find_routers(install_server& server) {
  forget_peer(server.link);
  clear_screen();
  print_wrapped(HELP_TEXT, false);
  size_t interfaces = interface_count(server.interfaces);
  console_print("\nLooking for routers on %u %s...\n", (unsigned)interfaces,
                interfaces == 1 ? "interface" : "interfaces");
  draw_routers(server);
  for (;;) {
    fd_set readable;
    int limit = watch_all(server, readable);
    if (select(limit, &readable, nullptr, nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;  // a finished child, a busy tick
      return false;
    }
    if (FD_ISSET(0, &readable) && handle_key(server, read_key()) == key_outcome::leave) {
      console_flush();
      return server.selected != nullptr;
    }
    receive_on_readable(server, readable);
  }
}

offer_outcome offer_installation(install_server& server, bool keep) {
  router_entry& router = *server.selected;
  interface_endpoint& endpoint = *router.endpoint;
  reset_counters(server.link);
  memcpy(server.link.own_address, endpoint.mac, MAC_SIZE);
  memcpy(server.link.peer_address, router.mac, MAC_SIZE);
  server.link.last_accepted = 1;  // the announcement
  uint8_t message[MAX_DATAGRAM];
  const char* text = keep ? "OFFR\nkeep\n" : "OFFR\n";
  size_t length = strlen(text) + 1;  // the zero byte counts
  memcpy(message_payload(message), text, length);
  build_header(server.link, message, (uint16_t)length, ack_field::valid, KIND_CONTROL);
  uint8_t reply[MAX_DATAGRAM];
  ssize_t n = send_with_retry(endpoint, server.link, message, HEADER_SIZE + length, reply,
                              OFFER_WAIT_US, OFFER_TRIES);
  if (n < 0) return offer_outcome::no_response;
  return has_tag(reply, TAG_ACCEPT) ? offer_outcome::accepted : offer_outcome::bad_response;
}

bool wait_for_disk(install_server& server) {
  interface_endpoint& endpoint = *server.selected->endpoint;
  ++server.link.send_seq;
  uint8_t message[HEADER_SIZE];
  build_header(server.link, message, 0, ack_field::valid, KIND_CONTROL);
  uint8_t reply[MAX_DATAGRAM];
  ssize_t n = send_with_retry(endpoint, server.link, message, sizeof message, reply, DISK_WAIT_US,
                              DISK_TRIES);
  if (n < 0 || !has_tag(reply, TAG_START)) return false;
  send_ack(server.link, endpoint);
  return true;
}

bool send_installation(install_server& server, install_order& order, const char* script) {
  interface_endpoint& endpoint = *server.selected->endpoint;
  while (const char* path = next_package_path(order)) {
    file_sender sender;
    if (!open_file_sender(sender, endpoint, server.link, path) || !send_file(sender)) return false;
    ++server.link.send_seq;
  }
  file_sender configuration;
  open_text_sender(configuration, endpoint, server.link, script);
  // A configuration that does not arrive still leaves an installed router.
  (void)send_file(configuration);
  ++server.link.send_seq;
  return true;
}

void wait_for_router_end(install_server& server) {
  interface_endpoint& endpoint = *server.selected->endpoint;
  uint8_t message[MAX_DATAGRAM];
  for (;;) {
    ssize_t n = wait_receive_or_key(endpoint, message);
    if (n == WAIT_INTERRUPTED) continue;
    if (n == WAIT_KEY || n == WAIT_ERROR) {
      if (n == WAIT_KEY) read_key();
      send_tag(endpoint, server.link, TAG_END, END_WAIT_US, END_TRIES);
      return;
    }
    bool accepted = check_message(server.link, message, n);
    // A "TERM" that came while the last block waited for its lost
    // acknowledgement ended that wait unanswered: its repeat is the end too.
    bool repeated = !accepted && is_repeat_of_last(server.link, message, n);
    if ((accepted || repeated) && has_tag(message, TAG_END)) {
      send_ack(server.link, endpoint);
      return;
    }
  }
}

uint64_t installation_messages(const uint64_t* sizes, size_t count) {
  // "OFFR" is 1, the first header 2; every file is a header and its blocks;
  // the configuration a header and at most one block; then "TERM".
  uint64_t next = 2;
  for (size_t i = 0; i < count; ++i) next += 1 + blocks_for(sizes[i]);
  return next + 2;
}

bool install_router(install_server& server, install_order& order) {
  if (!check_install_list(order)) return false;
  router_answers answers;
  ask_router_answers(answers);
  char script[CONFIG_SCRIPT_SIZE];
  make_config_script(script, server.selected->mac, answers);
  console_print("\n\nSending offer...");
  console_flush();
  offer_outcome offer = offer_installation(server, answers.keep);
  if (offer != offer_outcome::accepted) {
    complain("%s", offer == offer_outcome::no_response ? "No response from router"
                                                       : "Bad response from router");
    return false;
  }
  console_print("\nFormating and partitioning harddisk...\n");
  console_flush();
  if (!wait_for_disk(server) || !send_installation(server, order, script)) return false;
  console_print("\nSoftware installed.\nPress ENTER to reboot\n");
  console_flush();
  wait_for_router_end(server);
  return true;
}

bool install_remote_router(const package_list& list) {
  // A machine booted from a CD or a volume has loaded no network driver;
  // without one the server would find no interface to serve on.
  static bool drivers_loaded = false;
  if (!drivers_loaded) load_modules(network_modules);
  drivers_loaded = true;
  install_server* server = create_install_server();
  bool installed = true;
  if (find_routers(*server)) {
    install_order order;
    install_order_init(order, list);
    installed = install_router(*server, order);
  }
  destroy_install_server(server);
  return installed;
}
