#include "netinstall/router_questions.h"

#include <arpa/inet.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "menu/screen.h"
#include "setup/console.h"

namespace {

constexpr size_t ADDRESS_FIELD = 20;
constexpr size_t NUMBER_FIELD = 10;
constexpr int DELETE_KEY = 127;
constexpr unsigned long LARGEST_NETMASK_BITS = 32;
// The script writes the baud rate as a signed decimal.
constexpr unsigned long LARGEST_BAUD_RATE = 2147483647;

// Appends printf-style text to the script; the script is cut at its size.
__attribute__((format(printf, 2, 3))) void append(char (&script)[CONFIG_SCRIPT_SIZE],
                                                  const char* format, ...) {
  size_t used = strlen(script);
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(script + used, sizeof script - used, format, arguments);
  va_end(arguments);
}

}  // namespace

void line_editor_start(line_editor& editor, const char* default_text, size_t field_size) {
  memset(editor.text, 0, sizeof editor.text);
  editor.field_size = field_size < sizeof editor.text ? field_size : sizeof editor.text;
  editor.default_shown = default_text != nullptr;
  if (default_text) strncpy(editor.text, default_text, editor.field_size - 1);
}

edit_result line_editor_key(line_editor& editor, int key) {
  size_t length = strlen(editor.text);
  if (key == '\n') return edit_result::done;
  if (key == DELETE_KEY) {
    if (editor.default_shown || length == 0) return edit_result::nothing;
    editor.text[length - 1] = '\0';
    return edit_result::redraw;
  }
  if (editor.default_shown) {
    memset(editor.text, 0, sizeof editor.text);
    editor.text[0] = (char)key;
    editor.default_shown = false;
    return edit_result::redraw;
  }
  if (length + 1 >= editor.field_size) return edit_result::nothing;
  editor.text[length] = (char)key;
  return edit_result::echo;
}

bool prompt_text(const char* label, const char* default_text, char* result, size_t field_size) {
  line_editor editor;
  line_editor_start(editor, default_text, field_size);
  console_print("\e[2K\r%s: ", label);
  if (editor.default_shown) console_print("\e[m\e[7m%s\e[m", editor.text);
  console_print("\e[?25h");
  int key = 0;
  while (key >= 0) {
    console_flush();
    key = read_key();
    bool shown = editor.default_shown;
    edit_result outcome = line_editor_key(editor, key < 0 ? '\n' : key);
    if (outcome == edit_result::done) {
      if (shown) console_print("\r%s: %s", label, editor.text);
      break;
    }
    if (outcome == edit_result::redraw) console_print("\e[2K\r%s: %s", label, editor.text);
    if (outcome == edit_result::echo) console_print("%c", key);
  }
  memcpy(result, editor.text, field_size);
  result[field_size - 1] = '\0';
  console_print("\e[?25l");
  console_flush();
  return key >= 0;
}

in_addr prompt_address(const char* label) {
  char text[ADDRESS_FIELD];
  in_addr address;
  address.s_addr = INADDR_ANY;
  // The end of input answers "0.0.0.0": the script then leaves the line out.
  while (prompt_text(label, nullptr, text, sizeof text) && inet_aton(text, &address) == 0) {
  }
  return address;
}

bool parse_leading_number(const char* text, unsigned long largest, unsigned long* value) {
  if (text[0] < '0' || text[0] > '9') return false;
  unsigned long number = 0;
  for (const char* digit = text; *digit >= '0' && *digit <= '9'; ++digit) {
    unsigned long value_of_digit = (unsigned long)(*digit - '0');
    if (number > (largest - value_of_digit) / 10) return false;  // beyond largest
    number = number * 10 + value_of_digit;
  }
  *value = number;
  return true;
}

unsigned long prompt_number(const char* label, const char* default_text, unsigned long largest) {
  char text[NUMBER_FIELD];
  unsigned long value = 0;
  // The end of input answers 0: the script then leaves the line out.
  while (prompt_text(label, default_text, text, sizeof text) &&
         !parse_leading_number(text, largest, &value)) {
  }
  return value;
}

void ask_router_answers(router_answers& answers) {
  console_print("\n\n\e[?25h");
  answers.keep = ask_yes_no(*console_terminal, "Keep config?");
  console_print("\e[?25l");
  if (answers.keep) return;
  answers.address = prompt_address("Enter routers IP address");
  console_print("\n");
  answers.netmask_bits =
      prompt_number("Enter routers netmask bit count", "24", LARGEST_NETMASK_BITS);
  console_print("\n");
  answers.gateway = prompt_address("Enter routers default gateway address");
  console_print("\n");
  answers.baud_rate = prompt_number("Enter serial console baud rate", "9600", LARGEST_BAUD_RATE);
}

void make_config_script(char (&script)[CONFIG_SCRIPT_SIZE], const uint8_t* mac,
                        const router_answers& answers) {
  script[0] = '\0';
  if (answers.keep) return;
  if (answers.address.s_addr != 0 && answers.netmask_bits != 0) {
    char mac_text[18];
    format_mac(mac, mac_text);
    append(script,
           ":local eth\n:set eth [/interface ethernet get [/interface ethernet find "
           "mac-address=%s] name]\n/interface enable $eth\n/ip address add address=%s/%lu "
           "interface=$eth\n",
           mac_text, inet_ntoa(answers.address), answers.netmask_bits);
  }
  if (answers.gateway.s_addr != 0)
    append(script, "/ip route add gateway=%s\n", inet_ntoa(answers.gateway));
  if (answers.baud_rate != 0)
    append(script, "/port set [/port find] baud-rate=%lu\n", answers.baud_rate);
}
