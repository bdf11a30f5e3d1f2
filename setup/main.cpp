// setup: the boot-time installer. Started as the first process of the
// installation system, it installs a whole router onto the first disk and
// restarts the machine.
#include "setup/entry.h"

int main(int argc, char** argv) {
  return setup_main(argc, argv);
}
