#pragma once

// UTF-8 repair for texts nimbra does not control (the device's firmware and engine strings,
// USB descriptors, the page). Every stored or sent document is JSON, and one invalid byte
// would make it unencodable; such texts are repaired once, here, before they are kept.
// Pure; any thread.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra {

// `text` with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string validUtf8(std::string_view text);
std::optional<std::string> validUtf8Optional(const std::optional<std::string>& text);

// The longest prefix of `text` no longer than `limit` bytes that does not end inside a UTF-8
// sequence: a cut there never splits a character. Bytes that are not UTF-8 count as one
// character each.
std::size_t utf8PrefixLength(std::string_view text, std::size_t limit);

}  // namespace nimbra
