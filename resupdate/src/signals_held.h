// Holding signals back in this thread while a file we must remove again has a name.
#pragma once

#include <signal.h>

namespace resupdate {

// Every catchable signal held back in the calling thread for this object's life, so that
// whatever a signal does by default (end the run, dump core) can only happen once the new
// file's name is gone: nothing is left behind, and no handler or state outside the run is
// needed to clean up. The mask it restores is the thread's own, kept here, so runs on other
// threads hold and release their signals independently.
class SignalsHeld {
 public:
  SignalsHeld() noexcept;
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

  // A signal that arrived while held and whose default action will end the process once it
  // is let through. One the process ignores or handles, or whose default is to be ignored or
  // to stop, does not count: the run goes on after it.
  [[nodiscard]] bool fatal_pending() const;

 private:
  sigset_t old_;
};

}  // namespace resupdate
