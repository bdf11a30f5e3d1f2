// The installation protocol's rules one by one, then a whole installation
// over a relay on loopback that records every datagram and loses some.
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
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "netinstall/install_client.h"
#include "netinstall/install_server.h"
#include "netinstall/router_questions.h"
#include "setup/console.h"
#include "support/bytes.h"
#include "support/scratch_file.h"

namespace {

const uint8_t OWN[6] = {2, 0, 0, 0, 0, 1};
const uint8_t PEER[6] = {2, 0, 0, 0, 0, 2};
const uint8_t OTHER[6] = {2, 0, 0, 0, 0, 3};
const uint8_t NOBODY[6] = {};

// A message from source to target; ack -1 leaves the ack field clear.
std::vector<uint8_t> message(const uint8_t* source, const uint8_t* target, uint16_t sequence,
                             std::string payload = "data", int ack = -1, char kind = KIND_CONTROL) {
  std::string bytes = std::string((const char*)source, 6) + std::string((const char*)target, 6) +
                      char(ack >= 0 ? FLAG_ACK : 0) + kind + le16((uint32_t)payload.size()) +
                      le16(sequence) + le16(ack >= 0 ? ack : 0) + payload;
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

sockaddr_in loopback(int last, uint16_t port) {
  return sockaddr_in{AF_INET, htons(port), {htonl(0x7f000000u | (uint32_t)last)}, {}};
}

// A datagram socket on 127.0.0.<last>; port 0 lets the kernel pick it.
int bound_socket(int last, uint16_t& port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address = loopback(last, port);
  socklen_t size = sizeof address;
  EXPECT_EQ(bind(fd, (sockaddr*)&address, size), 0);
  EXPECT_EQ(getsockname(fd, (sockaddr*)&address, &size), 0);
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

TEST(netinstall_link, check_message_table) {
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    ssize_t size_change;  // added to the datagram's size
    uint16_t last_accepted, send_seq;
    bool accepted;
    uint16_t last_after;
  } cases[] = {
      {"next numbered message", message(PEER, OWN, 5), 0, 4, 1, true, 5},
      {"a repeat of the last one", message(PEER, OWN, 4), 0, 4, 1, false, 4},
      {"one skipped", message(PEER, OWN, 6), 0, 4, 1, false, 4},
      {"65535 + 1 never follows", message(PEER, OWN, 0), 0, 65535, 1, false, 65535},
      {"the last number there is", message(PEER, OWN, 65535), 0, 65534, 1, true, 65535},
      {"19 bytes", message(PEER, OWN, 5, ""), -1, 4, 1, false, 4},
      {"length field says more", message(PEER, OWN, 5), -1, 4, 1, false, 4},
      {"length field says less", message(PEER, OWN, 5), 1, 4, 1, false, 4},
      {"own broadcast back", message(OWN, NOBODY, 1), 0, 0, 1, false, 0},
      {"announcement while no peer", message(PEER, NOBODY, 1), 0, 0, 1, true, 1},
      {"to nobody once a peer is known", message(PEER, NOBODY, 5), 0, 4, 1, false, 4},
      {"to another router", message(PEER, OTHER, 5), 0, 4, 1, false, 4},
      {"from a stranger", message(OTHER, OWN, 5), 0, 4, 1, false, 4},
      {"pure ack of what was sent", message(PEER, OWN, 9, "", 3), 0, 4, 3, true, 4},
      {"pure ack above send_seq", message(PEER, OWN, 9, "", 4), 0, 4, 3, false, 4},
      {"numbered with a valid ack", message(PEER, OWN, 5, "x", 3), 0, 4, 3, true, 5},
  };
  for (const auto& c : cases) {
    link_state link{c.send_seq, c.last_accepted, {}, {}};
    memcpy(link.own_address, OWN, 6);
    memcpy(link.peer_address, c.last_accepted ? PEER : NOBODY, 6);  // known once one came
    std::vector<uint8_t> bytes = c.bytes;
    bytes.resize(MAX_DATAGRAM);
    ssize_t size = (ssize_t)c.bytes.size() + c.size_change;
    EXPECT_EQ(check_message(link, bytes.data(), size), c.accepted) << c.what;
    EXPECT_EQ(link.last_accepted, c.last_after) << c.what;
  }
  // A failed receive clears the source, so that it matches no peer.
  link_state link{1, 4, {}, {2, 0, 0, 0, 0, 2}};  // from PEER
  std::vector<uint8_t> bytes = message(PEER, OWN, 4);
  EXPECT_TRUE(is_repeat_of_last(link, bytes.data(), (ssize_t)bytes.size()));
  EXPECT_FALSE(check_message(link, bytes.data(), -1));
  EXPECT_FALSE(is_repeat_of_last(link, bytes.data(), (ssize_t)bytes.size()));
}

TEST(netinstall_file, headers_file_names_and_disk_labels) {
  char name[HEADER_NAME_SIZE];
  int64_t size = -1;
  auto parse = [&](const std::string& text, uint8_t kind = KIND_CONTROL) {
    return parse_file_header(message(PEER, OWN, 2, text, -1, kind).data(), name, sizeof name,
                             &size);
  };
  EXPECT_TRUE(parse("FILE\nsystem.kpk\n2000\n"));
  EXPECT_STREQ(name, "system.kpk");
  EXPECT_EQ(size, 2000);
  for (const char* bad :
       {"FILE", "FILE no line feed", "FILE\nsystem.kpk\n2000", "FILE\nx\n-5\n", "FILE\nx\n\n",
        "FILE\nx\n12a\n", "FILX\nx\n1\n", "FILE\nx\n99999999999999999999\n"})
    EXPECT_FALSE(parse(bad)) << bad;
  EXPECT_FALSE(parse("FILE\nx\n1\n", KIND_DATA));
  ASSERT_TRUE(parse("FILE\n" + std::string(100, 'a') + "\n1\n"));
  EXPECT_EQ(strlen(name), sizeof name - 1);

  // Names the router takes: no paths, not "." or "..", short enough.
  const std::string longest(31, 'x'), too_long(32, 'x');
  for (const char* good : {"system.kpk", "autorun.scr", ".scr", "..kpk", longest.c_str()})
    EXPECT_TRUE(is_safe_file_name(good)) << good;
  for (const char* bad : {"", ".", "..", "../autorun.scr", "a/b", "/etc", too_long.c_str()})
    EXPECT_FALSE(is_safe_file_name(bad)) << bad;
  EXPECT_TRUE(is_config_script_name("a.scr"));
  EXPECT_FALSE(is_config_script_name(".scr"));
  EXPECT_FALSE(is_config_script_name("a.scr.kpk"));

  // The label keeps letters, digits and punctuation.
  for (auto [text, expected] :
       {std::pair{"  lab one\n", "labone"}, {"r-1.b\t\x01", "r-1.b"}, {"", "tessaron"}}) {
    char label[LABEL_SIZE];
    snprintf(label, sizeof label, "%s", text);
    clean_disk_label(label, sizeof label);
    EXPECT_STREQ(label, expected) << text;
  }
}

TEST(netinstall_server, message_budget_of_one_conversation) {
  // OFFR 1, then header and blocks per file, configuration header and
  // block, TERM: two files of 1 and 1453 bytes end at 2+2+3+2 = 9.
  // The largest file that fits has 65535 - 5 blocks.
  uint64_t sizes[] = {1, 1453, 0, (MAX_SEQUENCE - 5) * DATA_BLOCK_SIZE, 0};
  EXPECT_EQ(installation_messages(sizes, 2), 9u);
  EXPECT_EQ(installation_messages(sizes + 2, 1), 5u);
  EXPECT_EQ(installation_messages(sizes + 3, 1), MAX_SEQUENCE);
  sizes[3]++;
  EXPECT_EQ(installation_messages(sizes + 3, 1), MAX_SEQUENCE + 1);
}

TEST(netinstall_server, announcements_make_one_entry_per_router_newest_first) {
  install_server* server = new install_server();  // no interface scan here
  interface_endpoint endpoint;
  memcpy(endpoint.mac, OWN, 6);
  auto offer = [&](std::vector<uint8_t> bytes) {
    size_t n = bytes.size();
    bytes.resize(MAX_DATAGRAM);
    return take_announcement(*server, endpoint, bytes.data(), (ssize_t)n);
  };
  EXPECT_TRUE(offer(message(PEER, NOBODY, 1, std::string("DSCV\nfirst\n\0", 12))));
  EXPECT_FALSE(offer(message(PEER, NOBODY, 1, std::string("DSCV\nagain\n\0", 12))));
  EXPECT_FALSE(offer(message(OTHER, OWN, 1, "DSCV\nx\n")));
  EXPECT_FALSE(offer(message(OTHER, NOBODY, 1, "DSCV\nx\n", 1)));
  EXPECT_FALSE(offer(message(OTHER, NOBODY, 1, "DSCV\nx\n", -1, KIND_DATA)));
  EXPECT_FALSE(offer(message(OTHER, NOBODY, 1, "OFFR\nx\n")));
  EXPECT_FALSE(offer(message(OTHER, NOBODY, 1, "DSCV\nno line end")));
  EXPECT_FALSE(offer(message(OTHER, NOBODY, 1, "DSCV\n" + std::string(32, 'l') + "\n")));
  EXPECT_TRUE(offer(message(OTHER, NOBODY, 1, "DSCV\n" + std::string(31, 'l') + "\n")));
  ASSERT_EQ(server->count, 2u);
  EXPECT_EQ(memcmp(server->routers->mac, OTHER, 6), 0);
  EXPECT_STREQ(server->selected->label, "first");
  destroy_install_server(server);
}

// Each line of the script is left out when one of its answers is zero.
TEST(netinstall_server, config_script) {
  const uint8_t mac[6] = {0x00, 0x0c, 0x42, 0xab, 0xcd, 0xef};
  const std::string address_lines =
      ":local eth\n:set eth [/interface ethernet get [/interface ethernet find "
      "mac-address=00:0C:42:AB:CD:EF] name]\n/interface enable $eth\n"
      "/ip address add address=10.1.2.3/24 interface=$eth\n";
  const std::string route = "/ip route add gateway=10.1.2.1\n",
                    port = "/port set [/port find] baud-rate=9600\n";
  for (int zero = 0; zero < 17; ++zero) {
    router_answers answers;
    answers.keep = zero == 16;
    inet_aton(zero & 1 ? "0.0.0.0" : "10.1.2.3", &answers.address);
    answers.netmask_bits = zero & 2 ? 0 : 24;
    inet_aton(zero & 4 ? "0.0.0.0" : "10.1.2.1", &answers.gateway);
    answers.baud_rate = zero & 8 ? 0 : 9600;
    char text[CONFIG_SCRIPT_SIZE];
    make_config_script(text, mac, answers);
    std::string expected =
        (zero & 3 ? "" : address_lines) + (zero & 4 ? "" : route) + (zero & 8 ? "" : port);
    EXPECT_EQ(text, zero == 16 ? "" : expected) << zero;
  }
}

TEST(netinstall_server, line_editor_and_leading_numbers) {
  auto edit = [](const char* default_text, const char* keys) {
    line_editor editor;
    line_editor_start(editor, default_text, 10);
    for (const char* key = keys; *key; ++key) line_editor_key(editor, (unsigned char)*key);
    return std::string(editor.text);
  };
  EXPECT_EQ(edit("24", "\177"), "24");  // delete does nothing while the default shows
  EXPECT_EQ(edit("24", "1\177\1773"), "3");
  EXPECT_EQ(edit(nullptr, "1234567890\177ab"), "12345678a");

  unsigned long value = 0;
  EXPECT_TRUE(parse_leading_number("16abc", 32, &value));
  EXPECT_EQ(value, 16u);
  for (const char* bad : {"abc", " 16", "33", "99999999999999999999999"})
    EXPECT_FALSE(parse_leading_number(bad, *bad == '9' ? (unsigned long)-1 : 32, &value)) << bad;
}

// Blocks stay full and in order across read-ahead pieces, numbered one by one.
TEST(netinstall_file, blocks_stay_full_and_in_order_across_read_ahead_pieces) {
  std::string bytes = pattern_bytes(93 * DATA_BLOCK_SIZE + 100);  // over two read-ahead pieces
  scratch_file file(bytes);
  interface_endpoint endpoint;
  endpoint.fd = socket(AF_INET, SOCK_DGRAM, 0);  // to a closed port: nothing reads
  endpoint.destination = loopback(1, 9);
  link_state link;
  file_sender sender;
  ASSERT_TRUE(open_file_sender(sender, endpoint, link, file.path()));
  std::string sent;
  std::vector<size_t> short_blocks;
  for (ssize_t n; (n = send_block(sender, block_step::advance)) > 0;) {
    EXPECT_EQ(message_sequence(sender.message), 2 + sent.size() / DATA_BLOCK_SIZE);
    if ((size_t)n != DATA_BLOCK_SIZE) short_blocks.push_back((size_t)n);
    sent.append((const char*)message_payload(sender.message), (size_t)n);
  }
  EXPECT_EQ(short_blocks, std::vector<size_t>{100});
  EXPECT_TRUE(sent == bytes);
  close(endpoint.fd);
}

// An endpoint's kernel filter drops the datagrams whose source is its own.
TEST(netinstall_interfaces, own_datagrams_are_dropped_before_they_are_read) {
  uint16_t port = 0;
  int fd = bound_socket(1, port);
  ASSERT_TRUE(drop_own_datagrams(fd, OWN));
  const uint8_t NEAR_OWN[2][6] = {{2, 0, 0, 0, 0, 9}, {2, 0, 0, 9, 0, 1}};
  const std::vector<std::vector<uint8_t>> sent = {
      message(OWN, PEER, 1, "dropped"),
      message(PEER, OWN, 2, "from the peer"),
      message(NEAR_OWN[0], PEER, 3, "last two bytes differ"),
      message(NEAR_OWN[1], PEER, 4, "first four bytes differ"),
      message(OWN, PEER, 5, ""),           // a pure acknowledgement of our own
      std::vector<uint8_t>(OWN, OWN + 6),  // too short for a header: kept
  };
  sockaddr_in self = loopback(1, port);
  for (const std::vector<uint8_t>& bytes : sent)
    sendto(fd, bytes.data(), bytes.size(), 0, (sockaddr*)&self, sizeof self);
  std::vector<size_t> received;
  uint8_t buffer[MAX_DATAGRAM];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
    received.push_back((size_t)n);
  EXPECT_EQ(received, (std::vector<size_t>{sent[1].size(), sent[2].size(), sent[3].size(), 6}));
  close(fd);
}

namespace {

const uint8_t SERVER_MAC[6] = {2, 0, 0, 0, 0, 1};
const uint8_t ROUTER_MAC[6] = {2, 0, 0, 0, 0, 2};
const char* const SCRIPT = "/ip route add gateway=192.0.2.1\n";

// Sockets on 127.0.0.2 (server), .3 (router) and .4 (relay), one port.
struct loopback_segment {
  uint16_t port = 0;
  int fds[3] = {bound_socket(2, port), bound_socket(3, port), bound_socket(4, port)};

  interface_endpoint* endpoint(int index, const uint8_t* mac) {
    interface_endpoint* endpoint = new interface_endpoint();
    memcpy(endpoint->mac, mac, 6);
    endpoint->fd = fds[index];
    endpoint->port = port;
    endpoint->destination = loopback(4, port);
    return endpoint;
  }
};

// "S OFFR 1 a1": direction, tag (or "ack", "dataN"), sequence, ack field.
std::string describe(bool from_server, const uint8_t* m) {
  const char* payload = (const char*)message_payload(m);
  std::string what = message_length(m) == 0        ? "ack"
                     : m[OFFSET_KIND] == KIND_DATA ? "data" + std::to_string(message_length(m))
                                                   : std::string(payload, 4);
  return (from_server ? "S " : "R ") + what + " " + std::to_string(message_sequence(m)) +
         (m[OFFSET_FLAGS] & FLAG_ACK ? " a" + std::to_string(message_ack(m)) : "");
}

// The router: announce, accept, "STRT", every file into result_path as
// "name size bytes", then the final wait. Never returns.
[[noreturn]] void run_router(loopback_segment& segment, const char* result_path,
                             const char* console_path) {
  int keys[2];
  if (pipe(keys) != 0) _exit(2);
  dup2(keys[0], 0);  // a console on which nobody presses a key
  dup2(open(console_path, O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
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

}  // namespace

// An installation in which chosen acknowledgements and blocks are lost:
// each loss costs one retry; repeats carry no new numbers.
TEST(netinstall_conversation, sequence_numbers_and_lost_acknowledgements) {
  loopback_segment segment;
  std::string bytes = pattern_bytes(2000);
  scratch_file package(bytes), received, console;
  pid_t router = fork();
  if (router == 0) run_router(segment, received.path(), console.path());

  std::vector<std::string> log;  // every datagram the relay saw
  std::atomic<bool> stop{false};
  std::thread relay([&] {
    std::map<std::string, int> seen;
    uint8_t buffer[MAX_DATAGRAM];
    pollfd watch = {segment.fds[2], POLLIN, 0};
    while (poll(&watch, 1, 50) > 0 || !stop) {  // ends once everything sent is relayed
      sockaddr_in from;
      socklen_t size = sizeof from;
      ssize_t n =
          recvfrom(segment.fds[2], buffer, sizeof buffer, MSG_DONTWAIT, (sockaddr*)&from, &size);
      if (n < (ssize_t)HEADER_SIZE) continue;
      bool from_server = from.sin_addr.s_addr == loopback(2, 0).sin_addr.s_addr;
      std::string text = describe(from_server, buffer);
      log.push_back(text);
      int time = ++seen[text];
      if ((text == "S ack 2 a3" && time == 1)      // of "STRT": the header answers it
          || (text == "R ack 4 a3" && time == 1)   // of a data block
          || (text == "S data548 4" && time == 1)  // a data block itself
          || (text == "R ack 4 a6" && time <= 2))  // of the configuration's block
        continue;
      sockaddr_in to = loopback(from_server ? 3 : 2, segment.port);
      sendto(segment.fds[2], buffer, (size_t)n, 0, (sockaddr*)&to, sizeof to);
    }
  });

  install_server* server = new install_server();
  server->interfaces.endpoints.push_back(segment.endpoint(0, SERVER_MAC));
  interface_endpoint& endpoint = *server->interfaces.endpoints[0];
  uint8_t message[MAX_DATAGRAM];
  for (ssize_t n; server->count == 0 && (n = wait_receive(endpoint, message, 5000000)) >= 0;)
    take_announcement(*server, endpoint, message, n);
  package_list list;
  list.entries.push_back(package_entry());
  list.entries[0].path = package.path();
  list.entries[0].selected = true;
  install_order order;
  install_order_init(order, list);
  int64_t transfer = 0;
  if (server->selected && offer_installation(*server, false) == offer_outcome::accepted &&
      wait_for_disk(*server)) {
    transfer = now_us();
    EXPECT_TRUE(send_installation(*server, order, SCRIPT));
    transfer = now_us() - transfer;
    send_tag(endpoint, server->link, TAG_END, 100000, 5);  // a key at the final wait
  }
  int status = -1;
  waitpid(router, &status, 0);
  EXPECT_EQ(status, 0);
  stop = true;
  relay.join();
  destroy_install_server(server);
  for (int fd : {segment.fds[1], segment.fds[2]}) close(fd);
  EXPECT_EQ(received.contents(), strrchr(package.path(), '/') + 1 + std::string(" 2000 ") + bytes +
                                     "autorun.scr " + std::to_string(strlen(SCRIPT)) + " " +
                                     SCRIPT);

  std::vector<std::string> distinct;
  for (const std::string& text : log)
    if (std::count(distinct.begin(), distinct.end(), text) == 0) distinct.push_back(text);
  const std::vector<std::string> expected = {
      "R DSCV 1", "S OFFR 1 a1", "R YACK 2 a1",  "S ack 2 a2", "R STRT 3",    "S ack 2 a3",
      "S FILE 2", "R ack 4 a2",  "S data1452 3", "R ack 4 a3", "S data548 4", "R ack 4 a4",
      "S FILE 5", "R ack 4 a5",  "S data32 6",   "R ack 4 a6", "S TERM 7",    "R ack 4 a7"};
  EXPECT_EQ(distinct, expected);
  EXPECT_EQ(std::count(log.begin(), log.end(), "R STRT 3"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "S data32 6"), 3);
  // The server's "TERM" is acknowledged twice, the first time as new.
  EXPECT_EQ(std::count(log.begin(), log.end(), "R ack 4 a7"), 2);
  EXPECT_NE(console.contents().find("resend ack: 7\n"), std::string::npos);
  // Doubling waits from 20 ms, not the header's seconds.
  EXPECT_LT(transfer, 2500000);
}
