// The new image beside the old one: created, named only when it must be, and put in place.
#pragma once

#include <optional>
#include <string>

#include "fd_io.h"
#include "resupdate/file_io.h"
#include "resupdate/result.h"
#include "signals_held.h"

namespace resupdate {

// The new image. It is created unnamed where the file system allows, and named only for the
// exchange at the end; elsewhere it is named from the start. Signals are held for as long as
// it has a name, and the name is removed on every way out but the one that puts it in place.
// Everything it keeps is its own, so runs on other threads each have theirs.
class NewFile {
 public:
  explicit NewFile(int dir) noexcept : dir_(dir) {}
  ~NewFile() { remove_name(); }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  [[nodiscard]] Status create();
  [[nodiscard]] int fd() const noexcept { return fd_.get(); }
  // Puts the new file in place of `target`, which must still be the file `id` describes. An
  // unnamed file gets a name first.
  [[nodiscard]] Status replace(const std::string& target, const FileIdentity& id);

 private:
  void remove_name() noexcept;
  [[nodiscard]] Status exchange(const std::string& target, const FileIdentity& id);
  [[nodiscard]] Status give_name();
#ifndef TARVISK_PORTABLE_POSIX
  struct ProcLink {
    char path[32];
  };
  [[nodiscard]] ProcLink link_in_proc() const;
  [[nodiscard]] bool reachable_in_proc() const;
#endif

  int dir_;
  UniqueFd fd_;
  std::string name_;
  std::optional<SignalsHeld> held_;
};

}  // namespace resupdate
