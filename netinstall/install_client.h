// The installation client: a router booted for network installation
// announces itself on every interface, accepts a server's offer, prepares
// its disk, and installs the packages and the configuration it receives.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "netinstall/file_transfer.h"
#include "netinstall/interfaces.h"
#include "netinstall/link.h"
#include "setup/install_context.h"

// Owns its interfaces, its receiver and the piece buffer.
struct install_client {
  interface_list interfaces;
  interface_endpoint* server_endpoint = nullptr;  // where the offer came; in interfaces
  link_state link;
  file_receiver* receiver = nullptr;  // owned; made once an offer is accepted
  uint8_t* package_piece = nullptr;   // owned; package bytes on their way to the installer

  install_client() = default;
  install_client(const install_client&) = delete;
  install_client& operator=(const install_client&) = delete;
  ~install_client() {
    delete receiver;
    delete[] package_piece;
  }
};

// The network installation mode.
[[nodiscard]] bool install_from_network(install_context& context);

// The first line of "label.txt" on the floppy, or "tessaron".
void read_disk_label(char* label, size_t size);
// Keeps only letters, digits and punctuation; "tessaron" when none is left.
void clean_disk_label(char* label, size_t size);

// Announces the router every second until an offer comes and is accepted;
// false when an announcement cannot be sent.
[[nodiscard]] bool find_server(install_client& client, const char* label, bool* keep);
// Looks through what the interfaces received for an offer to this router.
interface_endpoint* take_offer(install_client& client, bool* keep);
// "STRT": the disk is ready.
[[nodiscard]] bool send_start(install_client& client);
// The next file's header; false (after telling the server "TERM") when
// none comes.
[[nodiscard]] bool next_file(install_client& client, int64_t* size);
// Until the person presses a key or the server ends the conversation.
void wait_for_end(install_client& client);

// A name the router may turn into a path below "/mnt": not empty, not "."
// or "..", without "/", and short enough to be kept whole.
bool is_safe_file_name(const char* name);
// A name longer than 4 characters that ends in ".scr".
bool is_config_script_name(const char* name);
