#include "installer/signals.h"

namespace {

sigset_t transaction_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void ignore_broken_pipes() {
  signal(SIGPIPE, SIG_IGN);
}

held_signals::held_signals() {
  const sigset_t set = transaction_signals();
  sigprocmask(SIG_BLOCK, &set, &previous_);
}

held_signals::~held_signals() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

void reset_signals_for_script() {
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}
