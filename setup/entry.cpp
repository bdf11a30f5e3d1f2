#include "setup/entry.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "netinstall/install_client.h"
#include "setup/child_programs.h"
#include "setup/console.h"
#include "setup/floppy_install.h"
#include "setup/media_install.h"

namespace {

enum class reboot_prompt { always, on_failure };

// A first process forks and only waits: the work runs in the child, and the
// first process also collects the orphans it inherits while waiting.
int wait_as_first_process(pid_t child) {
  for (;;) {
    int status;
    pid_t pid = wait(&status);
    if (pid == child) return status;
    if (pid < 0 && errno != EINTR) return -1;
  }
}

void install_signal_handlers() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = abort_handler;
  sigaction(SIGINT, &action, nullptr);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
  action.sa_handler = child_reaper;
  action.sa_flags = SA_RESTART;
  sigaction(SIGCHLD, &action, nullptr);
}

bool has_argument(int argc, char** argv, const char* wanted) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], wanted) == 0) return true;
  }
  return false;
}

}  // namespace

void init_install_context(install_context& context) {
  memset(&context, 0, sizeof context);
  context.floppy.part_count = 1;
}

void read_mode_word(char* word, size_t size) {
  word[0] = '\0';
  int fd = open("/TYPE", O_RDONLY | O_NONBLOCK);
  if (fd < 0) return;
  size_t n = read_all(fd, word, size - 1);
  close(fd);
  word[n] = '\0';
  word[strcspn(word, "\n")] = '\0';
}

void show_welcome(const char* mode_word) {
  enter_raw_mode(*console_terminal);
  console_print("\e[?25l\e[H\e[2J");
  console_print("Welcome to Tessaron Router Software %s\n", mode_word);
  console_print("Press Ctrl-Alt-Delete to abort\n");
  console_flush();
}

void choose_console() {
  int console = open("/dev/tty0", O_WRONLY | O_NOCTTY);
  if (console >= 0) {
    close(console);
    return;
  }
  log_device = "/dev/null";
  int input = open("/dev/ttyS0", O_RDONLY);
  if (input >= 0 && input != 0) {
    dup2(input, 0);
    close(input);
  }
  int output = open("/dev/ttyS0", O_WRONLY);
  if (output >= 0) {
    dup2(output, 1);
    dup2(output, 2);
    if (output > 2) close(output);
  }
}

void select_mode(install_context& context, int argc, char** argv) {
  mount("proc", "/proc", "proc", 0, nullptr);
  char mode_word[80];
  read_mode_word(mode_word, sizeof mode_word);
  bool installed;
  reboot_prompt prompt;
  if (has_argument(argc, argv, "-hdd-install")) {
    installed = install_from_hard_disk(context);
    prompt = reboot_prompt::on_failure;
  } else if (strcmp(mode_word, "cdrom") == 0) {
    installed = install_from_cdrom(context);
    prompt = reboot_prompt::always;
  } else if (strcmp(mode_word, "net") == 0) {
    installed = install_from_network(context);
    prompt = reboot_prompt::on_failure;
  } else {
    installed = install_from_floppies(context);
    prompt = reboot_prompt::always;
  }
  umount("/floppy");
  umount("/mnt");
  installation_finished = 1;
  if (prompt == reboot_prompt::always || !installed) {
    console_print("Press ENTER to reboot\n");
    wait_for_key(*console_terminal, '\n');
  }
}

int setup_main(int argc, char** argv) {
  if (argc > 0 && argv[0] && strstr(argv[0], "init")) {
    pid_t child = fork();
    if (child > 0) return wait_as_first_process(child);
  }
  choose_console();
  console_terminal = new terminal_state();
  install_signal_handlers();
  load_modules(boot_modules);
  install_context context;
  init_install_context(context);
  select_mode(context, argc, argv);
  restore_terminal(*console_terminal);
  console_print("\nRebooting...\n");
  console_flush();
  restart_machine();
}
