// The installation server: lists the routers that announce themselves on
// the local segments, asks how the chosen one is to be configured, and
// installs it with the packages selected in the menu.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "menu/package_list.h"
#include "netinstall/interfaces.h"
#include "netinstall/link.h"
#include "netinstall/protocol.h"

// One announcing router.
struct router_entry {
  interface_endpoint* endpoint = nullptr;  // where it was heard; not owned
  uint8_t mac[MAC_SIZE] = {};
  char label[LABEL_SIZE] = {};
  router_entry* next = nullptr;  // the next older entry
};

// Owns its interfaces and its router entries.
struct install_server {
  interface_list interfaces;
  link_state link;
  router_entry* routers = nullptr;  // newest first, owned
  unsigned count = 0;
  router_entry* selected = nullptr;  // one of routers, or none

  install_server() = default;
  install_server(const install_server&) = delete;
  install_server& operator=(const install_server&) = delete;
};

install_server* create_install_server();
void destroy_install_server(install_server* server);

// The router selection screen: true when Enter was pressed on a router,
// false after 'q' or a failed wait.
[[nodiscard]] bool find_routers(install_server& server);

// A datagram received on endpoint, as the selection screen takes it: a new
// router entry when it is a valid announcement of a router not yet listed.
bool take_announcement(install_server& server, interface_endpoint& endpoint, uint8_t* message,
                       ssize_t n);

// Questions, offer, transfer of the install order's packages and of the
// configuration, final wait. True after the final wait.
[[nodiscard]] bool install_router(install_server& server, install_order& order);

// The steps of install_router after the questions, for the selected router.
enum class offer_outcome { accepted, no_response, bad_response };
offer_outcome offer_installation(install_server& server, bool keep);
[[nodiscard]] bool wait_for_disk(install_server& server);
[[nodiscard]] bool send_installation(install_server& server, install_order& order,
                                     const char* script);
void wait_for_router_end(install_server& server);

// Highest sequence number the server uses to install the packages of the
// order (with the configuration and the final "TERM"); none beyond
// MAX_SEQUENCE fits one conversation.
uint64_t installation_messages(const uint64_t* sizes, size_t count);

// From the package menu: a server for one router; false only when an
// installation was started and failed.
[[nodiscard]] bool install_remote_router(const package_list& list);
