// The signal mask held while the new image has a name, and the check for a signal that came.
#include "signals_held.h"

#include <pthread.h>

namespace resupdate {

namespace {

// Signals whose default action lets the process go on (ignored, or stopping it).
bool harmless_by_default(int sig) noexcept {
  switch (sig) {
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU: return true;
    default: return false;
  }
}

}  // namespace

SignalsHeld::SignalsHeld() noexcept {
  sigset_t all;
  ::sigfillset(&all);
  (void)::pthread_sigmask(SIG_BLOCK, &all, &old_);
}

SignalsHeld::~SignalsHeld() { (void)::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

bool SignalsHeld::fatal_pending() const {
  sigset_t pending;
  if (::sigpending(&pending) != 0) return false;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (::sigismember(&pending, sig) != 1 || ::sigismember(&old_, sig) == 1) continue;
    if (harmless_by_default(sig)) continue;
    struct sigaction now {};
    if (::sigaction(sig, nullptr, &now) != 0 || now.sa_handler != SIG_DFL) continue;
    return true;
  }
  return false;
}

}  // namespace resupdate
