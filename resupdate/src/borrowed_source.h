// A file read by offset through a descriptor or handle owned elsewhere: the part the POSIX
// and Windows readers of the new image share.
#pragma once

#include <cstdint>
#include <span>

#include "resupdate/byte_io.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

// Refuses reads past `size` and leaves the rest to the platform's positioned read.
class BorrowedSource : public ByteSource {
 public:
  explicit BorrowedSource(std::uint64_t size) noexcept : size_(size) {}
  [[nodiscard]] std::uint64_t size() const noexcept final { return size_; }
  [[nodiscard]] Status read(std::uint64_t off, std::span<std::uint8_t> out) const final {
    if (!fits(off, out.size(), size_))
      return make_error(Errc::read_fault, "read past the end of the file");
    return read_within(off, out);
  }

 protected:
  // Reads [off, off + out.size()), which lies inside the file.
  [[nodiscard]] virtual Status read_within(std::uint64_t off,
                                           std::span<std::uint8_t> out) const = 0;

 private:
  std::uint64_t size_;
};

}  // namespace resupdate
