#include "http/url.h"

#include <memory>

#include <curl/curl.h>

namespace nimbra::Http {
namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

Url parse(const std::string& text) {
  Url url(curl_url());
  if (url && curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) url.reset();
  return url;
}

std::optional<std::string> part(CURLU* url, CURLUPart which) {
  char* text = nullptr;
  if (curl_url_get(url, which, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string value(text);
  curl_free(text);
  return value;
}

}  // namespace

std::optional<UrlParts> parseUrl(const std::string& text) {
  Url url = parse(text);
  if (!url) return std::nullopt;
  return UrlParts{
      .scheme = part(url.get(), CURLUPART_SCHEME).value_or(""),
      .host = part(url.get(), CURLUPART_HOST),
      .port = part(url.get(), CURLUPART_PORT),
      .user = part(url.get(), CURLUPART_USER),
      .password = part(url.get(), CURLUPART_PASSWORD),
      .path = part(url.get(), CURLUPART_PATH),
  };
}

std::optional<std::string> resolveUrl(const std::string& base, const std::string& reference) {
  Url url = parse(base);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  return part(url.get(), CURLUPART_URL);
}

std::optional<std::string> withHost(const std::string& text, const std::string& host) {
  Url url = parse(text);
  if (!url || curl_url_set(url.get(), CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PORT, nullptr, 0) != CURLUE_OK) {
    return std::nullopt;
  }
  return part(url.get(), CURLUPART_URL);
}

}  // namespace nimbra::Http
