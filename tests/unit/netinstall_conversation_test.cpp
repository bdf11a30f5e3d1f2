// Whole installations between the server's and the router's protocol code:
// the router in a child process, the server here, every datagram through a
// relay on loopback that records it and can lose chosen ones.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "menu/package_list.h"
#include "netinstall/install_client.h"
#include "netinstall/install_server.h"
#include "setup/console.h"

namespace {

const uint8_t SERVER_MAC[6] = {2, 0, 0, 0, 0, 1};
const uint8_t ROUTER_MAC[6] = {2, 0, 0, 0, 0, 2};
const char* const SCRIPT = "/ip route add gateway=192.0.2.1\n";

sockaddr_in loopback(int last, uint16_t port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(0x7f000000u | (uint32_t)last);
  return address;
}

// Sockets on 127.0.0.2 (server), .3 (router) and .4 (relay), one port.
struct loopback_segment {
  int fds[3] = {-1, -1, -1};
  uint16_t port = 0;

  // The kernel picks a free port for .2; nothing else binds .3 or .4.
  bool open() {
    for (int i = 0; i < 3; ++i) {
      fds[i] = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in address = loopback(2 + i, port);
      socklen_t size = sizeof address;
      if (bind(fds[i], (sockaddr*)&address, sizeof address) != 0 ||
          getsockname(fds[i], (sockaddr*)&address, &size) != 0)
        return false;
      port = ntohs(address.sin_port);
    }
    return true;
  }

  interface_endpoint* endpoint(int index, const uint8_t* mac) {
    interface_endpoint* endpoint = new interface_endpoint();
    memcpy(endpoint->mac, mac, 6);
    endpoint->fd = fds[index];
    endpoint->port = port;
    endpoint->destination = loopback(4, port);
    return endpoint;
  }
};

// "S OFFR 1 a1": direction, tag (or "ack", "data N"), sequence, ack field.
std::string describe(char direction, const uint8_t* m) {
  std::ostringstream text;
  text << direction << ' ';
  if (message_length(m) == 0)
    text << "ack";
  else if (m[OFFSET_KIND] == KIND_DATA)
    text << "data" << message_length(m);
  else
    text << std::string((const char*)message_payload(m), 4);
  text << ' ' << message_sequence(m);
  if (m[OFFSET_FLAGS] & FLAG_ACK) text << " a" << message_ack(m);
  return text.str();
}

// Forwards between .2 and .3, recording each datagram; lose(text, n) drops
// the n-th (from 1) datagram with that description.
struct relay {
  relay(loopback_segment& segment, std::function<bool(const std::string&, int)> lose)
      : segment(segment), lose(lose) {}
  loopback_segment& segment;
  std::function<bool(const std::string&, int)> lose;
  std::vector<std::string> log;
  std::map<std::string, int> seen;
  std::atomic<bool> stop{false};

  void run() {
    uint8_t buffer[MAX_DATAGRAM];
    pollfd watch = {segment.fds[2], POLLIN, 0};
    for (;;) {
      if (poll(&watch, 1, 50) <= 0) {
        if (stop) break;  // only once everything sent has been relayed
        continue;
      }
      sockaddr_in from;
      socklen_t size = sizeof from;
      ssize_t n = recvfrom(segment.fds[2], buffer, sizeof buffer, 0, (sockaddr*)&from, &size);
      if (n < (ssize_t)HEADER_SIZE) continue;
      bool from_server = from.sin_addr.s_addr == loopback(2, 0).sin_addr.s_addr;
      std::string text = describe(from_server ? 'S' : 'R', buffer);
      log.push_back(text);
      if (lose && lose(text, ++seen[text])) continue;
      sockaddr_in to = loopback(from_server ? 3 : 2, segment.port);
      sendto(segment.fds[2], buffer, (size_t)n, 0, (sockaddr*)&to, sizeof to);
    }
  }
};

// The router: announce, accept, "STRT", every file into result_path as
// "name size bytes", then the final wait. Never returns.
[[noreturn]] void run_router(loopback_segment& segment, const char* result_path,
                             const char* console_path) {
  int keys[2];
  if (pipe(keys) != 0) _exit(2);
  dup2(keys[0], 0);  // a console on which nobody presses a key
  int console = open(console_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(console, 1);
  install_client client;
  client.interfaces.endpoints.push_back(segment.endpoint(1, ROUTER_MAC));
  bool keep = true;
  if (!find_server(client, "unit", &keep) || keep || !send_start(client)) _exit(3);
  FILE* result = fopen(result_path, "w");
  int64_t size = 0;
  while (next_file(client, &size) && size > 0) {
    fprintf(result, "%s %lld ", client.receiver->name, (long long)size);
    uint8_t piece[4096];
    for (ssize_t n; (n = read_file_data(*client.receiver, piece, sizeof piece)) > 0;)
      fwrite(piece, 1, (size_t)n, result);
    if (is_config_script_name(client.receiver->name)) break;
  }
  fclose(result);
  wait_for_end(client);
  console_flush();
  _exit(0);
}

struct conversation {
  std::vector<std::string> log;
  std::string received, router_console;
  double transfer_seconds = 0;
  long count(const char* text) const { return std::count(log.begin(), log.end(), text); }
};

// One installation of a 2000-byte package and SCRIPT.
conversation install(std::function<bool(const std::string&, int)> lose = nullptr) {
  conversation result;
  loopback_segment segment;
  EXPECT_TRUE(segment.open());
  std::string dir = testing::TempDir();
  std::string package = dir + "/netunit.kpk", received = dir + "/netunit.received",
              console = dir + "/netunit.console";
  std::string bytes(2000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (char)(i * 7 + i / 256);
  std::ofstream(package, std::ios::binary) << bytes;
  pid_t router = fork();
  if (router == 0) run_router(segment, received.c_str(), console.c_str());
  relay forwarder(segment, lose);
  std::thread relay_thread(&relay::run, &forwarder);

  install_server* server = new install_server();
  server->interfaces.endpoints.push_back(segment.endpoint(0, SERVER_MAC));
  interface_endpoint& endpoint = *server->interfaces.endpoints[0];
  uint8_t message[MAX_DATAGRAM];
  while (server->count == 0) {
    ssize_t n = wait_receive(endpoint, message, 5000000);
    if (n < 0) break;
    take_announcement(*server, endpoint, message, n);
  }
  EXPECT_EQ(server->count, 1u);
  package_list list;
  package_entry entry;
  entry.path = package.c_str();
  entry.header.name = "netunit";
  entry.selected = true;
  list.entries.push_back(entry);
  install_order order;
  install_order_init(order, list);
  if (server->selected && offer_installation(*server, false) == offer_outcome::accepted &&
      wait_for_disk(*server)) {
    int64_t start = now_us();
    EXPECT_TRUE(send_installation(*server, order, SCRIPT));
    result.transfer_seconds = (double)(now_us() - start) / 1e6;
    send_tag(endpoint, server->link, TAG_END, 100000, 5);  // a key at the final wait
  }
  int status = -1;
  waitpid(router, &status, 0);
  EXPECT_EQ(status, 0);
  forwarder.stop = true;
  relay_thread.join();
  destroy_install_server(server);
  close(segment.fds[1]);
  close(segment.fds[2]);
  result.log = forwarder.log;
  std::ifstream in(received, std::ios::binary), shown(console);
  result.received.assign(std::istreambuf_iterator<char>(in), {});
  result.router_console.assign(std::istreambuf_iterator<char>(shown), {});
  EXPECT_EQ(result.received, "netunit.kpk 2000 " + bytes + "autorun.scr " +
                                 std::to_string(strlen(SCRIPT)) + " " + SCRIPT);
  return result;
}

TEST(netinstall_conversation, sequence_numbers_of_one_whole_installation) {
  conversation result = install();
  // Repeats (announcements every second, an offer sent again while its
  // answer was on the way) carry no new numbers: each message counts once.
  std::vector<std::string> distinct;
  for (const std::string& text : result.log) {
    if (std::find(distinct.begin(), distinct.end(), text) == distinct.end())
      distinct.push_back(text);
  }
  const std::vector<std::string> expected = {
      "R DSCV 1",    "S OFFR 1 a1", "R YACK 2 a1", "S ack 2 a2", "R STRT 3",
      "S ack 2 a3",  "S FILE 2",    "R ack 4 a2",  "S data1452 3", "R ack 4 a3",
      "S data548 4", "R ack 4 a4",  "S FILE 5",    "R ack 4 a5", "S data32 6",
      "R ack 4 a6",  "S TERM 7",    "R ack 4 a7"};
  EXPECT_EQ(distinct, expected);
  // The server's "TERM" is acknowledged twice, the first time as new.
  EXPECT_EQ(result.count("R ack 4 a7"), 2);
  EXPECT_NE(result.router_console.find("resend ack: 7\n"), std::string::npos);
}

TEST(netinstall_conversation, lost_acknowledgements_cost_one_retry_each) {
  conversation result = install([](const std::string& text, int n) {
    return (text == "S ack 2 a3" && n == 1)      // of "STRT": the header answers it
           || (text == "R ack 4 a3" && n == 1)   // of a data block
           || (text == "S data548 4" && n == 1)  // a data block itself
           || (text == "R ack 4 a6" && n <= 2);  // of the configuration's block
  });
  EXPECT_EQ(result.count("R STRT 3"), 1);
  EXPECT_EQ(result.count("S data32 6"), 3);
  // Doubling waits from 20 ms, not the header's seconds.
  EXPECT_LT(result.transfer_seconds, 2.5);
}

}  // namespace
