// The line-oriented console of setup: raw keyboard mode, key waits, yes/no
// questions, the busy ticker, the progress bar, and the abort on Ctrl-C.
#pragma once

#include <stdint.h>
#include <termios.h>

struct install_context;

// Saved attributes of standard input and whether raw mode is on. One
// instance exists for the whole run (the abort handler restores it).
struct terminal_state {
  struct termios saved;
  int raw;
};

extern terminal_state* console_terminal;

// Printf-style output on standard output (no flush). Texts longer than the
// 1024-byte line buffer are cut.
void console_print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void console_flush();

// Once only: saves the attributes and switches standard input to single
// keys without echo; Ctrl-C still raises SIGINT.
void enter_raw_mode(terminal_state& state);
// Puts the saved attributes back when raw, then shows the cursor.
void restore_terminal(terminal_state& state);
// Reads keys until the key or the end of input; every other key rings the bell.
void wait_for_key(terminal_state& state, char key);
// "%s [y/n]:" answered by one key, 'y' or 'n' in either case. The end of
// input answers no: a console that is gone cannot confirm an erase.
bool ask_yes_no(terminal_state& state, const char* question);

// Prints the message, then a dot every second until busy_stop.
void busy_start(install_context& context, const char* message);
void busy_stop(install_context& context);

// A text bar "[####    ]" of width marks for steps 0..total.
struct progress_bar {
  uint32_t width = 70;
  uint32_t total = 100;
  uint32_t marks = 0;
  bool started = false;
  uint32_t step = 0;  // kept by the user of the bar
};
void progress_start(progress_bar& bar);
void progress_update(progress_bar& bar, uint32_t step);
void progress_end(progress_bar& bar);

// Set once the chosen mode has returned: from then on Ctrl-C does nothing.
extern volatile int installation_finished;

// SIGINT: abort, unmount, wait for ENTER, restart. Never returns while a
// mode runs.
void abort_handler(int signal_number);

// Restarts the machine; the last thing setup does.
[[noreturn]] void restart_machine();
