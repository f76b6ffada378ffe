#pragma once

#include <optional>
#include <string>

// URLs read and written the way libcurl (and so the client) understands them. Pure
// functions; any thread.
namespace nimbra::Http {

// The parts of an absolute URL; an absent part is absent, the path has its dot segments
// removed.
struct UrlParts {
  std::string scheme;
  std::optional<std::string> host;  // as written, not lowered
  std::optional<std::string> port;  // only when written explicitly
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> path;
};

// Absent when `text` is not an absolute URL.
std::optional<UrlParts> parseUrl(const std::string& text);

// `reference` resolved against `base` the way a browser resolves a link ("/path" replaces
// the base's path). Absent when either does not parse.
std::optional<std::string> resolveUrl(const std::string& base, const std::string& reference);

// `url` with its host replaced by `host` and no explicit port.
std::optional<std::string> withHost(const std::string& url, const std::string& host);

}  // namespace nimbra::Http
