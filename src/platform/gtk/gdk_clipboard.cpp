#include "platform/gtk/gdk_clipboard.h"

#include <gtk/gtk.h>

namespace nimbra {
namespace {

GdkClipboard* defaultClipboard() {
  GdkDisplay* display = gdk_display_get_default();
  return display != nullptr ? gdk_display_get_clipboard(display) : nullptr;
}

GdkContentProvider* bytesProvider(const char* mimeType, const std::string& text) {
  GBytes* bytes = g_bytes_new(text.data(), text.size());
  GdkContentProvider* provider = gdk_content_provider_new_for_bytes(mimeType, bytes);
  g_bytes_unref(bytes);
  return provider;
}

}  // namespace

bool GdkClipboardWriter::putLink(const std::string& link) {
  GdkClipboard* clipboard = defaultClipboard();
  if (clipboard == nullptr) return false;
  GdkContentProvider* parts[] = {
      gdk_content_provider_new_typed(G_TYPE_STRING, link.c_str()),
      bytesProvider("text/uri-list", link + "\r\n"),
  };
  GdkContentProvider* provider = gdk_content_provider_new_union(parts, G_N_ELEMENTS(parts));
  bool taken = gdk_clipboard_set_content(clipboard, provider);
  g_object_unref(provider);
  return taken;
}

bool GdkClipboardWriter::putText(const std::string& text) {
  GdkClipboard* clipboard = defaultClipboard();
  if (clipboard == nullptr) return false;
  GdkContentProvider* provider = gdk_content_provider_new_typed(G_TYPE_STRING, text.c_str());
  bool taken = gdk_clipboard_set_content(clipboard, provider);
  g_object_unref(provider);
  return taken;
}

bool GdkClipboardWriter::putPng(std::span<const uint8_t> png) {
  GdkClipboard* clipboard = defaultClipboard();
  if (clipboard == nullptr || png.empty()) return false;
  GBytes* bytes = g_bytes_new(png.data(), png.size());
  GdkTexture* texture = gdk_texture_new_from_bytes(bytes, nullptr);
  g_bytes_unref(bytes);
  if (texture == nullptr) return false;
  // The PNG itself first, so "image/png" readers get these exact bytes; GDK adds the
  // texture's other formats.
  GdkContentProvider* parts[] = {
      bytesProvider("image/png",
                    std::string(reinterpret_cast<const char*>(png.data()), png.size())),
      gdk_content_provider_new_typed(GDK_TYPE_TEXTURE, texture),
  };
  g_object_unref(texture);
  GdkContentProvider* provider = gdk_content_provider_new_union(parts, G_N_ELEMENTS(parts));
  bool taken = gdk_clipboard_set_content(clipboard, provider);
  g_object_unref(provider);
  return taken;
}

}  // namespace nimbra
