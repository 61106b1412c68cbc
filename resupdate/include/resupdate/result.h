// Error codes and the result type every fallible core operation returns.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace resupdate {

// The values are the Windows last-error codes the facade reports, so the mapping
// from a core failure to GetLastError() is the identity.
enum class Errc : std::uint32_t {
  ok = 0,
  file_not_found = 2,
  path_not_found = 3,
  access_denied = 5,
  invalid_handle = 6,
  not_enough_memory = 8,
  invalid_data = 0xd,
  write_fault = 0x1d,
  read_fault = 0x1e,
  sharing_violation = 0x20,
  not_supported = 0x32,
  invalid_parameter = 0x57,
  disk_full = 0x70,
  bad_exe_format = 0xc1,
  file_too_large = 0xdf,
  file_invalid = 0x3ee,
  internal_error = 0x54f,
};

// A failure: its code and a short lower-case detail for diagnostics and tests.
struct Error {
  Errc code = Errc::internal_error;
  std::string detail;
};

[[nodiscard]] inline Error make_error(Errc code, std::string detail) {
  return Error{code, std::move(detail)};
}

// Either a value or an Error. An object is handed out only once it is fully valid.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

// Result of an operation that yields nothing but success or an Error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT: implicit by design

  [[nodiscard]] bool ok() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return ok(); }
  const Error& error() const& { return error_; }
  Error&& error() && { return std::move(error_); }

 private:
  Error error_{Errc::ok, {}};
  bool failed_ = false;
};

}  // namespace resupdate
