// The installation protocol's rules in-process: which datagrams a side
// accepts, the "FILE" header, file names a router may use, the message
// budget of a conversation, announcements, the configuration script and
// the line editor.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "netinstall/file_transfer.h"
#include "netinstall/install_client.h"
#include "netinstall/install_server.h"
#include "netinstall/link.h"
#include "netinstall/router_questions.h"

namespace {

const uint8_t OWN[6] = {2, 0, 0, 0, 0, 1};
const uint8_t PEER[6] = {2, 0, 0, 0, 0, 2};
const uint8_t OTHER[6] = {2, 0, 0, 0, 0, 3};
const uint8_t NOBODY[6] = {};

// A message from source to destination with a payload of length bytes.
std::vector<uint8_t> message(const uint8_t* source, const uint8_t* destination, uint16_t sequence,
                             std::string payload = "data", int ack = -1, uint8_t kind = 0) {
  std::vector<uint8_t> bytes(HEADER_SIZE + payload.size());
  memcpy(&bytes[0], source, 6);
  memcpy(&bytes[6], destination, 6);
  bytes[OFFSET_FLAGS] = ack >= 0 ? FLAG_ACK : 0;
  bytes[OFFSET_KIND] = kind;
  write_u16(&bytes[OFFSET_LENGTH], (uint16_t)payload.size());
  write_u16(&bytes[OFFSET_SEQUENCE], sequence);
  write_u16(&bytes[OFFSET_ACK], ack >= 0 ? (uint16_t)ack : 0);
  memcpy(bytes.data() + HEADER_SIZE, payload.data(), payload.size());
  return bytes;
}

struct acceptance_case {
  const char* what;
  const uint8_t* peer;  // the link's peer address
  std::vector<uint8_t> bytes;
  ssize_t size_change;  // added to the datagram's size
  uint16_t last_accepted, send_seq;
  bool accepted;
  uint16_t last_after;
};

TEST(netinstall_link, check_message_table) {
  const acceptance_case cases[] = {
      {"next numbered message", PEER, message(PEER, OWN, 5), 0, 4, 1, true, 5},
      {"a repeat of the last one", PEER, message(PEER, OWN, 4), 0, 4, 1, false, 4},
      {"one skipped", PEER, message(PEER, OWN, 6), 0, 4, 1, false, 4},
      {"65535 + 1 never follows", PEER, message(PEER, OWN, 0), 0, 65535, 1, false, 65535},
      {"the last number there is", PEER, message(PEER, OWN, 65535), 0, 65534, 1, true, 65535},
      {"19 bytes", PEER, message(PEER, OWN, 5, ""), -1, 4, 1, false, 4},
      {"length field says more", PEER, message(PEER, OWN, 5), -1, 4, 1, false, 4},
      {"length field says less", PEER, message(PEER, OWN, 5), 1, 4, 1, false, 4},
      {"own broadcast back", NOBODY, message(OWN, NOBODY, 1), 0, 0, 1, false, 0},
      {"announcement while no peer", NOBODY, message(PEER, NOBODY, 1), 0, 0, 1, true, 1},
      {"to nobody once a peer is known", PEER, message(PEER, NOBODY, 5), 0, 4, 1, false, 4},
      {"to another router", PEER, message(PEER, OTHER, 5), 0, 4, 1, false, 4},
      {"from a stranger", PEER, message(OTHER, OWN, 5), 0, 4, 1, false, 4},
      {"pure ack of what was sent", PEER, message(PEER, OWN, 9, "", 3), 0, 4, 3, true, 4},
      {"pure ack above send_seq", PEER, message(PEER, OWN, 9, "", 4), 0, 4, 3, false, 4},
      {"numbered with a valid ack", PEER, message(PEER, OWN, 5, "x", 3), 0, 4, 3, true, 5},
  };
  for (const acceptance_case& c : cases) {
    link_state link;
    memcpy(link.own_address, OWN, 6);
    memcpy(link.peer_address, c.peer, 6);
    link.last_accepted = c.last_accepted;
    link.send_seq = c.send_seq;
    std::vector<uint8_t> bytes = c.bytes;
    bytes.resize(MAX_DATAGRAM);
    EXPECT_EQ(check_message(link, bytes.data(), (ssize_t)c.bytes.size() + c.size_change),
              c.accepted)
        << c.what;
    EXPECT_EQ(link.last_accepted, c.last_after) << c.what;
  }
}

TEST(netinstall_link, failed_receive_clears_the_source_so_it_matches_no_peer) {
  link_state link;
  memcpy(link.peer_address, PEER, 6);
  std::vector<uint8_t> bytes = message(PEER, OWN, 4);
  link.last_accepted = 4;
  EXPECT_TRUE(is_repeat_of_last(link, bytes.data(), (ssize_t)bytes.size()));
  EXPECT_FALSE(check_message(link, bytes.data(), -1));
  EXPECT_FALSE(is_repeat_of_last(link, bytes.data(), (ssize_t)bytes.size()));
}

TEST(netinstall_file, header_parsing) {
  char name[HEADER_NAME_SIZE];
  int64_t size = -1;
  EXPECT_TRUE(parse_file_header(message(PEER, OWN, 2, "FILE\nsystem.kpk\n2000\n").data(), name,
                                sizeof name, &size));
  EXPECT_STREQ(name, "system.kpk");
  EXPECT_EQ(size, 2000);
  for (const char* bad : {"FILE", "FILE no line feed", "FILE\nsystem.kpk\n2000", "FILE\nsystem.kpk\n-5\n", "FILE\nx\n\n",
                          "FILE\nx\n12a\n", "FILX\nx\n1\n", "FILE\nx\n99999999999999999999\n"}) {
    EXPECT_FALSE(parse_file_header(message(PEER, OWN, 2, bad).data(), name, sizeof name, &size))
        << bad;
  }
  EXPECT_FALSE(parse_file_header(message(PEER, OWN, 2, "FILE\nx\n1\n", -1, KIND_DATA).data(),
                                 name, sizeof name, &size));
  std::string long_name(100, 'a');
  ASSERT_TRUE(parse_file_header(message(PEER, OWN, 2, "FILE\n" + long_name + "\n1\n").data(),
                                name, sizeof name, &size));
  EXPECT_EQ(strlen(name), sizeof name - 1);
}

TEST(netinstall_client, file_names_the_router_accepts) {
  const std::string longest(31, 'x'), too_long(32, 'x');
  for (const char* good : {"system.kpk", "autorun.scr", ".scr", "..kpk", longest.c_str()})
    EXPECT_TRUE(is_safe_file_name(good)) << good;
  for (const char* bad : {"", ".", "..", "../autorun.scr", "a/b", "/etc", too_long.c_str()})
    EXPECT_FALSE(is_safe_file_name(bad)) << bad;
  EXPECT_TRUE(is_config_script_name("a.scr"));
  EXPECT_FALSE(is_config_script_name(".scr"));
  EXPECT_FALSE(is_config_script_name("a.scr.kpk"));
}

TEST(netinstall_client, disk_label_keeps_letters_digits_and_punctuation) {
  char label[LABEL_SIZE];
  const std::pair<const char*, const char*> cases[] = {
      {"  lab one\n", "labone"}, {"r-1.b\t\x01", "r-1.b"}, {" \n", "tessaron"}, {"", "tessaron"}};
  for (auto [text, expected] : cases) {
    snprintf(label, sizeof label, "%s", text);
    clean_disk_label(label, sizeof label);
    EXPECT_STREQ(label, expected) << text;
  }
}

TEST(netinstall_server, message_budget_of_one_conversation) {
  // OFFR 1, then header and blocks per file, configuration header and
  // block, TERM: two files of 1 and 1453 bytes end at 2+2+3+2 = 9.
  uint64_t sizes[] = {1, 1453};
  EXPECT_EQ(installation_messages(sizes, 2), 9u);
  uint64_t empty = 0;
  EXPECT_EQ(installation_messages(&empty, 1), 5u);
  // The largest file that still fits: 65535 - 5 blocks.
  uint64_t largest = (uint64_t)(MAX_SEQUENCE - 5) * DATA_BLOCK_SIZE;
  EXPECT_EQ(installation_messages(&largest, 1), MAX_SEQUENCE);
  ++largest;
  EXPECT_EQ(installation_messages(&largest, 1), MAX_SEQUENCE + 1);
}

TEST(netinstall_server, announcements_make_one_entry_per_router_newest_first) {
  install_server* owned = new install_server();  // no interface scan here
  install_server& server = *owned;
  interface_endpoint endpoint;
  memcpy(endpoint.mac, OWN, 6);
  auto offer = [&](std::vector<uint8_t> bytes) {
    size_t n = bytes.size();
    bytes.resize(MAX_DATAGRAM);
    return take_announcement(server, endpoint, bytes.data(), (ssize_t)n);
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
  ASSERT_EQ(server.count, 2u);
  EXPECT_EQ(memcmp(server.routers->mac, OTHER, 6), 0);
  EXPECT_STREQ(server.selected->label, "first");
  destroy_install_server(owned);
}

std::string script(const char* address, unsigned long bits, const char* gateway,
                   unsigned long baud, bool keep = false) {
  router_answers answers;
  answers.keep = keep;
  inet_aton(address, &answers.address);
  answers.netmask_bits = bits;
  inet_aton(gateway, &answers.gateway);
  answers.baud_rate = baud;
  const uint8_t mac[6] = {0x00, 0x0c, 0x42, 0xab, 0xcd, 0xef};
  char text[CONFIG_SCRIPT_SIZE];
  make_config_script(text, mac, answers);
  return text;
}

TEST(netinstall_server, config_script_leaves_out_each_line_whose_answers_are_zero) {
  const std::string address_lines =
      ":local eth\n:set eth [/interface ethernet get [/interface ethernet find "
      "mac-address=00:0C:42:AB:CD:EF] name]\n/interface enable $eth\n"
      "/ip address add address=10.1.2.3/24 interface=$eth\n";
  const std::string route = "/ip route add gateway=10.1.2.1\n";
  const std::string port = "/port set [/port find] baud-rate=9600\n";
  for (int zero = 0; zero < 16; ++zero) {
    const char* address = zero & 1 ? "0.0.0.0" : "10.1.2.3";
    unsigned long bits = zero & 2 ? 0 : 24;
    const char* gateway = zero & 4 ? "0.0.0.0" : "10.1.2.1";
    unsigned long baud = zero & 8 ? 0 : 9600;
    std::string expected = (zero & 3 ? "" : address_lines) + (zero & 4 ? "" : route) +
                           (zero & 8 ? "" : port);
    EXPECT_EQ(script(address, bits, gateway, baud), expected) << zero;
  }
  EXPECT_EQ(script("10.1.2.3", 24, "10.1.2.1", 9600, true), "");
}

std::string edit(const char* default_text, size_t field, const char* keys) {
  line_editor editor;
  line_editor_start(editor, default_text, field);
  for (const char* key = keys; *key; ++key) line_editor_key(editor, (unsigned char)*key);
  return editor.text;
}

TEST(netinstall_server, line_editor) {
  EXPECT_EQ(edit("24", 10, "16"), "16");
  EXPECT_EQ(edit("24", 10, ""), "24");
  EXPECT_EQ(edit("24", 10, "\x7f"), "24");  // delete does nothing while the default shows
  EXPECT_EQ(edit("24", 10, "1\x7f\x7f" "3"), "3");
  EXPECT_EQ(edit(nullptr, 10, "1234567890ab"), "123456789");
  EXPECT_EQ(edit(nullptr, 10, "1234567890\x7f" "a"), "12345678a");
  line_editor editor;
  line_editor_start(editor, "9600", 10);
  EXPECT_EQ(line_editor_key(editor, '\n'), edit_result::done);
}

TEST(netinstall_server, leading_numbers) {
  unsigned long value = 0;
  EXPECT_TRUE(parse_leading_number("16abc", 32, &value));
  EXPECT_EQ(value, 16u);
  for (const char* bad : {"abc", " 16", "33", "99999999999999999999999"})
    EXPECT_FALSE(parse_leading_number(bad, *bad == '9' ? (unsigned long)-1 : 32, &value)) << bad;
}

TEST(netinstall_interfaces, mac_text_in_upper_case_until_the_count) {
  interface_list list;
  for (uint8_t last : {0xab, 0x01}) {
    interface_endpoint* endpoint = new interface_endpoint();
    const uint8_t mac[6] = {0x00, 0x0c, 0x42, 0xfe, 0x10, last};
    memcpy(endpoint->mac, mac, 6);
    list.endpoints.push_back(endpoint);
  }
  EXPECT_STREQ(mac_text(list, 0), "00:0C:42:FE:10:AB");
  EXPECT_STREQ(mac_text(list, 1), "00:0C:42:FE:10:01");
  EXPECT_EQ(mac_text(list, 2), nullptr);
  free_interfaces(list);
  EXPECT_FALSE(has_interfaces(list));
}

// A package read in pieces larger than a block still goes out in full
// blocks with every byte in order, and the sequence numbers advance by one.
TEST(netinstall_file, blocks_stay_full_and_in_order_across_read_ahead_pieces) {
  std::string path = testing::TempDir() + "/netunit-blocks.kpk";
  std::string bytes(93 * DATA_BLOCK_SIZE + 100, '\0');  // over two read-ahead pieces
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (char)(i * 131 + i / 4093);
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_TRUE(file);
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
  interface_endpoint endpoint;
  endpoint.fd = socket(AF_INET, SOCK_DGRAM, 0);  // to a closed port: nothing reads
  endpoint.destination.sin_family = AF_INET;
  endpoint.destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  endpoint.destination.sin_port = htons(9);
  link_state link;
  file_sender sender;
  ASSERT_TRUE(open_file_sender(sender, endpoint, link, path.c_str()));
  std::string sent;
  std::vector<size_t> short_blocks;
  uint64_t blocks = 0;
  for (ssize_t n; (n = send_block(sender, block_step::advance)) > 0;) {
    ++blocks;
    EXPECT_EQ(message_sequence(sender.message), 1 + blocks);
    if ((size_t)n != DATA_BLOCK_SIZE) short_blocks.push_back((size_t)n);
    sent.append((const char*)message_payload(sender.message), (size_t)n);
  }
  EXPECT_EQ(blocks, blocks_for(bytes.size()));
  EXPECT_EQ(short_blocks, std::vector<size_t>{100});
  EXPECT_TRUE(sent == bytes);
  close(endpoint.fd);
  unlink(path.c_str());
}

// The kernel filter of an endpoint, on a loopback socket that sends to
// itself: only the datagrams whose source field is the own address go.
TEST(netinstall_interfaces, own_datagrams_are_dropped_before_they_are_read) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(fd, (sockaddr*)&address, sizeof address), 0);
  ASSERT_EQ(getsockname(fd, (sockaddr*)&address, &size), 0);
  ASSERT_TRUE(drop_own_datagrams(fd, OWN));
  const uint8_t NEAR_OWN[2][6] = {{2, 0, 0, 0, 0, 9}, {2, 0, 0, 9, 0, 1}};
  const std::vector<std::vector<uint8_t>> sent = {
      message(OWN, PEER, 1, "dropped"),
      message(PEER, OWN, 2, "from the peer"),
      message(NEAR_OWN[0], PEER, 3, "last two bytes differ"),
      message(NEAR_OWN[1], PEER, 4, "first four bytes differ"),
      message(OWN, PEER, 5, ""),  // a pure acknowledgement of our own
      std::vector<uint8_t>(OWN, OWN + 6),  // too short for a header: kept
  };
  for (const std::vector<uint8_t>& bytes : sent)
    sendto(fd, bytes.data(), bytes.size(), 0, (sockaddr*)&address, sizeof address);
  std::vector<size_t> received;
  uint8_t buffer[MAX_DATAGRAM];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
    received.push_back((size_t)n);
  EXPECT_EQ(received, (std::vector<size_t>{sent[1].size(), sent[2].size(), sent[3].size(), 6}));
  close(fd);
}

}  // namespace
