#include "setup/console.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "foundation/streams.h"
#include "menu/screen.h"

terminal_state* console_terminal = nullptr;
volatile int installation_finished = 0;

void console_print(const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  if ((size_t)length >= sizeof line) length = sizeof line - 1;
  standard_output.write(line, (size_t)length);
}

void console_flush() {
  standard_output.flush();
}

namespace {

// Direct write for signal handlers, which must not touch the buffered
// standard output that the interrupted flow may be using.
void write_raw(const char* text) {
  write_all(1, text, strlen(text));
}

void ring_bell() {
  write_raw("\a");
}

void busy_tick(int) {
  int saved = errno;
  ssize_t ignored = write(1, ".", 1);
  (void)ignored;
  alarm(1);
  errno = saved;
}

}  // namespace

void enter_raw_mode(terminal_state& state) {
  if (state.raw) return;
  tcgetattr(0, &state.saved);
  struct termios raw = state.saved;
  raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(0, TCSAFLUSH, &raw);
  state.raw = 1;
}

void restore_terminal(terminal_state& state) {
  if (state.raw) {
    tcsetattr(0, TCSAFLUSH, &state.saved);
    state.raw = 0;
  }
  write_raw("\e[?25h");
}

void wait_for_key(terminal_state&, char key) {
  console_flush();
  for (;;) {
    int c = read_key();
    // The low 8 bits decide, so a byte 0xFF ends the wait like the end of input.
    if (c < 0 || (c & 0xFF) == (unsigned char)key || (c & 0xFF) == 0xFF) return;
    ring_bell();
  }
}

bool ask_yes_no(terminal_state&, const char* question) {
  console_print("%s [y/n]:", question);
  for (;;) {
    console_flush();
    int c = read_key();
    if (c < 0 || c == 'y' || c == 'Y' || c == 'n' || c == 'N') {
      bool yes = c == 'y' || c == 'Y';  // the end of input answers no
      console_print(yes ? "y\n" : "n\n");
      console_flush();
      return yes;
    }
    ring_bell();
  }
}

// The ticker's alarm handler; SA_RESTART keeps the reads it interrupts going.
static void handle_alarm(void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
}

void busy_start(install_context&, const char* message) {
  standard_output << message;
  console_flush();
  handle_alarm(busy_tick);
  alarm(1);
}

void busy_stop(install_context&) {
  handle_alarm(SIG_IGN);
  console_print("\n");
  console_flush();
}

void progress_start(progress_bar& bar) {
  standard_output << "[";
  for (uint32_t i = 0; i < bar.width; ++i) standard_output << ' ';
  standard_output << "]";
  console_flush();
  bar.started = true;
}

void progress_update(progress_bar& bar, uint32_t step) {
  if (!bar.started || bar.total == 0) return;
  uint64_t wanted = (uint64_t)step * bar.width / bar.total;
  uint32_t marks = wanted > bar.width ? bar.width : (uint32_t)wanted;
  if (marks <= bar.marks) return;
  bar.marks = marks;
  standard_output << "\r[";
  console_flush();
  for (uint32_t i = 0; i < marks; ++i) standard_output << '#';
  console_flush();
}

void progress_end(progress_bar& bar) {
  if (!bar.started) return;
  console_print("\n");
  console_flush();
}

void abort_handler(int) {
  if (installation_finished) return;
  write_raw("\n\nInstallation aborted\nPress ENTER to reboot\n");
  umount("/mnt/boot");
  umount("/mnt");
  umount("/floppy");
  for (;;) {
    int c = read_key();
    if (c < 0 || c == '\n' || c == 0xFF) break;
    ring_bell();
  }
  if (console_terminal) restore_terminal(*console_terminal);
  restart_machine();
}

void restart_machine() {
  sync();
  reboot(RB_AUTOBOOT);
  // Only a setup without the right to restart gets here; it must not go on
  // installing, so it ends.
  _exit(1);
}
