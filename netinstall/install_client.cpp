#include "netinstall/install_client.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include "setup/child_programs.h"
#include "setup/console.h"
#include "setup/disk_preparation.h"
#include "setup/entry.h"

namespace {

constexpr int64_t ANSWER_WAIT_US = 1000000;
constexpr int ANSWER_TRIES = 5;
constexpr int64_t END_WAIT_US = 100000;
constexpr int END_TRIES = 5;
constexpr unsigned RESCAN_CYCLES = 60;
constexpr size_t PIECE_SIZE = 4096;
// Package bytes gather into pieces of this size before one write into the
// installer's pipe: every write wakes the installer, which then competes
// for the processor with the transfer. Half the pipe's usual capacity, so
// that the installer reads one piece while the next one arrives.
constexpr size_t PACKAGE_PIECE_SIZE = 32768;
constexpr size_t INSTALLER_PIPE_SIZE = 262144;
constexpr size_t SCRIPT_PATH_SIZE = 80;
const char* const DEFAULT_LABEL = "tessaron";

bool announce(install_client& client, const char* label) {
  uint8_t message[HEADER_SIZE + LABEL_SIZE + 8];
  int length =
      snprintf((char*)message_payload(message), LABEL_SIZE + 8, "%s\n%.31s\n", TAG_DISCOVER, label);
  if (length < 0) return false;
  size_t size = HEADER_SIZE + (size_t)length + 1;  // the zero byte counts
  for (interface_endpoint* endpoint : client.interfaces.endpoints) {
    reset_counters(client.link);
    memcpy(client.link.own_address, endpoint->mac, MAC_SIZE);
    build_header(client.link, message, (uint16_t)(length + 1), ack_field::clear, KIND_CONTROL);
    if (endpoint_send(*endpoint, message, size) != (ssize_t)size) return false;
  }
  return true;
}

bool is_offer(install_client& client, uint8_t* message, ssize_t n, bool* keep) {
  static const uint8_t nobody[MAC_SIZE] = {};
  if (!check_message(client.link, message, n)) return false;
  if (memcmp(message + OFFSET_DESTINATION, nobody, MAC_SIZE) == 0) return false;
  if (message_ack(message) != client.link.last_accepted) return false;
  if (message[OFFSET_KIND] != KIND_CONTROL || message_length(message) < TAG_SIZE + 1) return false;
  const char* text = (const char*)message_payload(message);
  if (!has_tag(message, TAG_OFFER) || text[TAG_SIZE] != '\n') return false;
  const char* next = text + TAG_SIZE + 1;
  size_t left = message_length(message) - (TAG_SIZE + 1);
  *keep = left >= 5 && memcmp(next, "keep\n", 5) == 0;
  return true;
}

bool accept_offer(install_client& client, interface_endpoint& endpoint) {
  uint8_t message[HEADER_SIZE + 5];
  build_header(client.link, message, 5, ack_field::valid, KIND_CONTROL);
  memcpy(message_payload(message), "YACK\n", 5);
  uint8_t reply[MAX_DATAGRAM];
  if (send_with_retry(endpoint, client.link, message, sizeof message, reply, ANSWER_WAIT_US,
                      ANSWER_TRIES) < 0)
    return false;
  ++client.link.send_seq;
  client.server_endpoint = &endpoint;
  delete client.receiver;
  client.receiver = new file_receiver();
  init_file_receiver(*client.receiver, endpoint, client.link);
  return true;
}

void print_addresses(const install_client& client, const char* label) {
  console_print("\n");
  for (size_t i = 0; const char* mac = mac_text(client.interfaces, i); ++i)
    console_print("mac-address: %s\n", mac);
  console_print("disk label: %s\n\n", label);
}

void connect_to_server(install_client& client, const char* label, bool* keep) {
  for (;;) {
    console_print("\nWaiting for installation server...\n");
    console_flush();
    if (find_server(client, label, keep)) break;
    console_print("\nCouldn't find any installation server on network\n");
  }
  char mac[18];
  format_mac(client.link.peer_address, mac);
  console_print("Found server at %s\n\n", mac);
  console_flush();
}

bool receive_script(install_client& client, const char* name) {
  console_print("Writing configuration...\n");
  console_flush();
  char path[SCRIPT_PATH_SIZE];
  snprintf(path, sizeof path, "/mnt/%s", name);
  // Never through a link that a package may have left there.
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    console_print("\nFATAL ERROR: couldn't make script\n");
    return false;
  }
  uint8_t piece[PIECE_SIZE];
  for (;;) {
    ssize_t n = read_file_data(*client.receiver, piece, sizeof piece);
    if (n < 0) {
      close(fd);
      console_print("\nFATAL ERROR: bad network connection\n");
      return false;
    }
    if (n == 0) break;
    if (write_all(fd, piece, (size_t)n) != (size_t)n) {
      console_print("\nFATAL ERROR: installation failed: %s\n", strerror(errno));
      close(fd);
      return false;
    }
  }
  close(fd);
  return true;
}

bool receive_package(install_client& client) {
  if (!client.package_piece) client.package_piece = new uint8_t[PACKAGE_PIECE_SIZE];
  program_writer* installer = open_program_writer("/sbin/installer", "-r", "/mnt", "-", nullptr);
  if (!installer) {
    console_print("\nFATAL ERROR: couldn't start install\n");
    return false;
  }
  // A larger pipe lets the transfer run ahead of an installer that waits
  // for the processor or the disk; the usual size still works.
  int pipe_fd = static_cast<fd_output_buffer*>(installer->rdbuf())->fd();
  (void)fcntl(pipe_fd, F_SETPIPE_SZ, (int)INSTALLER_PIPE_SIZE);
  uint8_t* piece = client.package_piece;
  for (;;) {
    ssize_t n = read_file_data(*client.receiver, piece, PACKAGE_PIECE_SIZE);
    if (n < 0) {
      close_program(installer);
      console_print("\nFATAL ERROR: bad network connection\n");
      return false;
    }
    if (n == 0) break;
    installer->write((const char*)piece, (size_t)n);
    installer->flush();
    if (installer->fail()) {
      console_print("\n");
      close_program(installer);
      return false;
    }
  }
  close_program(installer);  // the installer's status is not used
  return true;
}

// Packages into installer runs until the configuration script, an empty
// file or the end of the headers.
bool receive_files(install_client& client) {
  for (;;) {
    int64_t size = 0;
    if (!next_file(client, &size) || size == 0) return true;
    const char* name = client.receiver->name;
    bool script = is_config_script_name(name);
    if (!is_safe_file_name(name)) {
      console_print(script ? "\nFATAL ERROR: couldn't make script\n"
                           : "\nFATAL ERROR: bad network connection\n");
      return false;
    }
    if (script) return receive_script(client, name);
    if (!receive_package(client)) return false;
  }
}

bool run_client(install_client& client, install_context& context) {
  if (!find_target_disk(context)) return false;
  char label[LABEL_SIZE];
  read_disk_label(label, sizeof label);
  print_addresses(client, label);
  bool keep = false;
  connect_to_server(client, label, &keep);
  if (!prepare_disk(context, keep ? keep_config::yes : keep_config::no, boot_sector::write))
    return false;
  console_print("\n");
  if (!send_start(client)) {
    console_print("\nFATAL ERROR: server refused to install\n");
    return false;
  }
  if (!receive_files(client)) return false;
  int marker = open("/mnt/CDINSTALL", O_WRONLY | O_CREAT, 0600);
  if (marker >= 0) close(marker);
  finish_installation(context);
  installation_finished = 1;
  console_print("\nSoftware installed.\nPress ENTER to reboot\n");
  console_flush();
  wait_for_end(client);
  return true;
}

}  // namespace

bool install_from_network(install_context& context) {
  show_welcome("remote installation");
  load_modules(network_modules);
  install_client* client = new install_client();
  scan_interfaces(client->interfaces);
  bool installed = false;
  if (!has_interfaces(client->interfaces)) {
    console_print("\nFATAL ERROR: no network card found\n");
  } else {
    installed = run_client(*client, context);
  }
  delete client;
  return installed;
}

void clean_disk_label(char* label, size_t size) {
  size_t kept = 0;
  for (size_t i = 0; i < size && label[i]; ++i) {
    if (isgraph((unsigned char)label[i])) label[kept++] = label[i];
  }
  label[kept] = '\0';
  if (kept == 0) snprintf(label, size, "%s", DEFAULT_LABEL);
}

void read_disk_label(char* label, size_t size) {
  memset(label, 0, size);
  if (mount("/dev/fd0", "/floppy", "vfat", 0, nullptr) == 0) {
    FILE* file = fopen("/floppy/label.txt", "r");
    if (file) {
      if (!fgets(label, (int)size, file)) label[0] = '\0';
      fclose(file);
    }
    umount("/floppy");
  }
  label[size - 1] = '\0';
  clean_disk_label(label, size);
}

interface_endpoint* take_offer(install_client& client, bool* keep) {
  uint8_t message[MAX_DATAGRAM];
  for (interface_endpoint* endpoint : client.interfaces.endpoints) {
    for (;;) {
      ssize_t n = wait_receive(*endpoint, message, 0);
      if (n < 0) break;
      reset_counters(client.link);
      memcpy(client.link.own_address, endpoint->mac, MAC_SIZE);
      if (!is_offer(client, message, n, keep)) continue;
      memcpy(client.link.peer_address, message + OFFSET_SOURCE, MAC_SIZE);
      ++client.link.send_seq;
      return endpoint;
    }
  }
  return nullptr;
}

bool find_server(install_client& client, const char* label, bool* keep) {
  unsigned cycles = 0;
  for (;;) {
    *keep = false;
    forget_peer(client.link);
    interface_endpoint* offered = nullptr;
    while (!offered) {
      if (!announce(client, label)) return false;
      sleep(1);
      offered = take_offer(client, keep);
      // Interfaces that appear later are used after the next scan.
      if (!offered && ++cycles % RESCAN_CYCLES == 0) scan_interfaces(client.interfaces);
    }
    if (accept_offer(client, *offered)) return true;
  }
}

bool send_start(install_client& client) {
  file_receiver& receiver = *client.receiver;
  uint8_t message[HEADER_SIZE + TAG_SIZE];
  build_header(client.link, message, TAG_SIZE, ack_field::clear, KIND_CONTROL);
  memcpy(message_payload(message), TAG_START, TAG_SIZE);
  ssize_t n = send_with_retry(*client.server_endpoint, client.link, message, sizeof message,
                              receiver.buffer, ANSWER_WAIT_US, ANSWER_TRIES);
  if (n < 0) return false;
  // When the acknowledgement was lost, the first header answers instead:
  // it is already accepted, so it is kept for next_file.
  if (message_length(receiver.buffer) > 0) receiver.pending = n;
  ++client.link.send_seq;
  return true;
}

bool next_file(install_client& client, int64_t* size) {
  file_receiver& receiver = *client.receiver;
  if (!receive_file_header(receiver)) {
    send_tag(*client.server_endpoint, client.link, TAG_END, ANSWER_WAIT_US, ANSWER_TRIES);
    return false;
  }
  *size = receiver.size;
  if (receiver.size == 0) send_ack(client.link, *client.server_endpoint);
  return true;
}

void wait_for_end(install_client& client) {
  interface_endpoint& endpoint = *client.server_endpoint;
  uint8_t message[MAX_DATAGRAM];
  for (;;) {
    ssize_t n = wait_receive_or_key(endpoint, message);
    if (n == WAIT_KEY || n == WAIT_ERROR) {
      send_tag(endpoint, client.link, TAG_END, END_WAIT_US, END_TRIES);
      return;
    }
    if (!check_message(client.link, message, n)) {
      // The acknowledgement of the last block was lost: the server repeats it.
      if (is_repeat_of_last(client.link, message, n)) send_ack(client.link, endpoint);
      continue;
    }
    if (message_length(message) > 0 && message_sequence(message) == client.link.last_accepted) {
      send_ack(client.link, endpoint);
      console_print("resend ack: %d\n", (int)client.link.last_accepted);
      console_flush();
    }
    if (has_tag(message, TAG_END)) {
      send_ack(client.link, endpoint);
      return;
    }
  }
}

bool is_safe_file_name(const char* name) {
  size_t length = strnlen(name, FILE_NAME_SIZE);
  return length > 0 && length < FILE_NAME_SIZE && !strchr(name, '/') && strcmp(name, ".") != 0 &&
         strcmp(name, "..") != 0;
}

bool is_config_script_name(const char* name) {
  size_t length = strlen(name);
  return length > 4 && strcmp(name + length - 4, ".scr") == 0;
}
