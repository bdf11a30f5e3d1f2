// The signals of an installer run. A failed write to the console is no
// reason to stop (SIGPIPE is ignored), and a hang-up, an interrupt or a
// termination request waits while a transaction changes the disk, so that
// no package is left half replaced or half removed.
#pragma once

#include <signal.h>

void ignore_broken_pipes();

// Holds SIGHUP, SIGINT and SIGTERM from construction to destruction; one
// that arrives meanwhile takes effect when the outermost hold ends.
class held_signals {
 public:
  held_signals();
  ~held_signals();
  held_signals(const held_signals&) = delete;
  held_signals& operator=(const held_signals&) = delete;

 private:
  sigset_t previous_;
};

// In a child that runs a package script: the default dispositions and no
// held signal, as a script started from a shell would have them.
void reset_signals_for_script();
