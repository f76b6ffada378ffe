#include "platform/gtk/page_scheme.h"

#include <system_error>

#include <webkit/webkit.h>

namespace nimbra::PageScheme {
namespace {

struct Served {
  std::filesystem::path root;  // canonical
};

void refuse(WebKitURISchemeRequest* request, int code, const char* what) {
  GError* error = g_error_new_literal(G_IO_ERROR, code, what);
  webkit_uri_scheme_request_finish_error(request, error);
  g_error_free(error);
}

void answer(WebKitURISchemeRequest* request, gpointer data) {
  const Served& served = *static_cast<const Served*>(data);
  const char* path = webkit_uri_scheme_request_get_path(request);
  std::optional<std::filesystem::path> file = resolve(served.root, path != nullptr ? path : "");
  if (!file) return refuse(request, G_IO_ERROR_NOT_FOUND, "no such page file");

  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(file->c_str(), &contents, &length, nullptr)) {
    return refuse(request, G_IO_ERROR_FAILED, "page file unreadable");
  }
  GInputStream* stream = g_memory_input_stream_new_from_data(contents, length, g_free);
  WebKitURISchemeResponse* response =
      webkit_uri_scheme_response_new(stream, static_cast<gint64>(length));
  webkit_uri_scheme_response_set_content_type(response, std::string(mimeTypeFor(*file)).c_str());
  webkit_uri_scheme_response_set_status(response, 200, nullptr);
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
}

void destroyServed(gpointer data) { delete static_cast<Served*>(data); }

bool hasSuffix(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string pageUri(std::string_view entry) {
  return std::string(kScheme) + "://" + kHost + "/" + std::string(entry);
}

void registerOn(WebKitWebContext* context, std::filesystem::path folder) {
  std::error_code failure;
  std::filesystem::path root = std::filesystem::canonical(folder, failure);
  if (failure) root = std::move(folder);  // every request then fails to resolve
  webkit_web_context_register_uri_scheme(context, kScheme, answer, new Served{std::move(root)},
                                         destroyServed);
  // A secure context, as a page from https would be; CORS is not needed (classic scripts).
  webkit_security_manager_register_uri_scheme_as_secure(
      webkit_web_context_get_security_manager(context), kScheme);
}

std::optional<std::filesystem::path> resolve(const std::filesystem::path& root,
                                             std::string_view requestPath) {
  std::filesystem::path relative{std::string(requestPath)};
  relative = relative.relative_path();
  if (relative.empty()) return std::nullopt;
  std::error_code failure;
  std::filesystem::path file = std::filesystem::canonical(root / relative, failure);
  if (failure || !std::filesystem::is_regular_file(file, failure)) return std::nullopt;
  auto [rootEnd, fileIt] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
  if (rootEnd != root.end()) return std::nullopt;
  return file;
}

std::string_view mimeTypeFor(const std::filesystem::path& file) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {".html", "text/html"},        {".js", "text/javascript"}, {".css", "text/css"},
      {".json", "application/json"}, {".svg", "image/svg+xml"},  {".png", "image/png"},
      {".woff2", "font/woff2"},
  };
  std::string name = file.filename().string();
  for (const auto& [suffix, type] : kTypes) {
    if (hasSuffix(name, suffix)) return type;
  }
  return "application/octet-stream";
}

}  // namespace nimbra::PageScheme
