// The questions the installation server asks about a router before it is
// installed, the line editor that takes the answers, and the configuration
// script made from them.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "netinstall/protocol.h"

struct router_answers {
  bool keep = false;  // keep the router's old configuration
  in_addr address = {};
  unsigned long netmask_bits = 0;
  in_addr gateway = {};
  unsigned long baud_rate = 0;
};

// The working text of one answer. The default, while shown, is the text;
// the first key typed replaces it.
struct line_editor {
  char text[32] = {};
  size_t field_size = 0;  // the text keeps at most field_size - 1 characters
  bool default_shown = false;
};

enum class edit_result { nothing, redraw, echo, done };

// Starts an answer with an optional default (cut to the field).
void line_editor_start(line_editor& editor, const char* default_text, size_t field_size);
// One key: line feed ends the answer, 127 deletes the last character typed.
edit_result line_editor_key(line_editor& editor, int key);

// The line editor on the console: label, default in reverse video, keys
// until line feed. The answer goes to result (field_size bytes); false
// when the input ended.
bool prompt_text(const char* label, const char* default_text, char* result, size_t field_size);
// Asked again until the answer is an IPv4 address in dotted notation.
in_addr prompt_address(const char* label);
// Asked again until the answer starts with a decimal number of at most
// largest; digits followed by other characters count by their digits.
unsigned long prompt_number(const char* label, const char* default_text, unsigned long largest);

// The number an answer starts with; false without leading digits or when
// it is above largest.
bool parse_leading_number(const char* text, unsigned long largest, unsigned long* value);

// "Keep config?" and, when not kept, address, netmask bits, gateway and
// baud rate.
void ask_router_answers(router_answers& answers);

// The script the router runs at its first start: address, route and serial
// line, each only when its answers are not zero. Empty when the
// configuration is kept.
void make_config_script(char (&script)[CONFIG_SCRIPT_SIZE], const uint8_t* mac,
                        const router_answers& answers);
