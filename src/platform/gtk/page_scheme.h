#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

typedef struct _WebKitWebContext WebKitWebContext;

namespace nimbra {

// The page is served from the custom URI scheme "nimbra:" rather than loaded by file://:
// the page's origin is then "nimbra://app" alone, so its Content-Security-Policy's 'self'
// names exactly the page's folder, nothing else on the disk can be read by the page or
// framed into it, and the scheme's handler decides what each request may see: only regular
// files below the page folder, with a fixed MIME type table, never a directory listing.
//
// Main thread only (WebKit calls the handler there).
namespace PageScheme {

inline constexpr char kScheme[] = "nimbra";
inline constexpr char kHost[] = "app";

// "nimbra://app/" + `entry`, e.g. "nimbra://app/index.html".
std::string pageUri(std::string_view entry);

// Registers the scheme on `context`, answering from `folder`. Once per context.
void registerOn(WebKitWebContext* context, std::filesystem::path folder);

// The file a request path names, or none when it is not a regular file below `root`
// (after resolving links and "..", so nothing outside the folder is reachable). `root`
// must already be canonical.
std::optional<std::filesystem::path> resolve(const std::filesystem::path& root,
                                             std::string_view requestPath);

// The Content-Type for a file name; "application/octet-stream" for unknown extensions.
std::string_view mimeTypeFor(const std::filesystem::path& file);

}  // namespace PageScheme
}  // namespace nimbra
