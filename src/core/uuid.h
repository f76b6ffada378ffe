#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra {

// A 128-bit UUID. Its text form is always canonical: 36 characters, upper-case
// hexadecimal, groups 8-4-4-4-12; parsing accepts either case.
class Uuid {
 public:
  using Bytes = std::array<uint8_t, 16>;

  Uuid() = default;
  explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

  // Random version 4 from the system's cryptographic generator.
  static Uuid random();
  static std::optional<Uuid> parse(std::string_view text);

  std::string text() const;
  const Bytes& bytes() const { return bytes_; }
  bool isNil() const;

  auto operator<=>(const Uuid&) const = default;

 private:
  Bytes bytes_{};
};

}  // namespace nimbra
