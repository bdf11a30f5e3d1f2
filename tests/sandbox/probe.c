/* The sandbox's own tests run this inside it in place of setup:
 *   probe mount SOURCE TARGET TYPE ro|rw   prints "ok" or the error's name
 *   probe reboot                           restarts the machine */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc == 6 && strcmp(argv[1], "mount") == 0) {
    unsigned long flags = strcmp(argv[5], "ro") == 0 ? MS_MGC_VAL | MS_RDONLY : 0;
    int failed = mount(argv[2], argv[3], argv[4], flags, NULL);
    printf("mount %s %s %s: %s\n", argv[2], argv[4], argv[5],
           failed ? strerrorname_np(errno) : "ok");
    return failed;
  }
  if (argc == 2 && strcmp(argv[1], "reboot") == 0) {
    fflush(stdout);
    reboot(RB_AUTOBOOT);
    perror("reboot");
  }
  return 2;
}
