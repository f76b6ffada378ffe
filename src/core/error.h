#pragma once

#include <map>
#include <string>
#include <utility>
#include <variant>

namespace nimbra {

// One failure as it travels through nimbra: a domain text, a code within that domain, the
// message shown to the user unchanged, and optional extra data (for example the "payload"
// of a device application error). Foreign errors (errno, OpenSSL, curl, hidapi, SQLite,
// GLib) are translated into this type in one place next to the call that produced them.
struct Error {
  std::string domain;
  int code = 0;
  std::string message;
  std::map<std::string, std::string> userInfo;

  static Error make(std::string domain, int code, std::string message) {
    return Error{std::move(domain), code, std::move(message), {}};
  }
  // An errno value from a system call, with the C library's text as the message.
  static Error posix(int errnoValue, const std::string& context = {});

  bool is(const std::string& d, int c) const { return domain == d && code == c; }
  bool operator==(const Error&) const = default;
};

inline constexpr char kPosixDomain[] = "NSPOSIXErrorDomain";
// The platform's own domain: file failures and JSON encoding/decoding failures share it, so
// stored and logged codes read the same as they always have.
inline constexpr char kCocoaErrorDomain[] = "NSCocoaErrorDomain";

// Either a value or an Error. Small on purpose: construct from either, test with ok(),
// read with value() / error(). Reading the wrong side is a programming error.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const Error& error() const { return std::get<1>(state_); }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  std::variant<T, Error> state_;
};

// Result of an operation that yields nothing but may fail.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return error_; }

 private:
  Error error_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace nimbra
