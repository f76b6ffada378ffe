#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nimbra {

// Writes one compact JSON text straight into a string, with the number and string forms of
// nlohmann::json's dump(), so documents built here and there compare byte for byte. Text
// that is not valid UTF-8 gets U+FFFD in place of each bad sequence. The caller pairs
// begin/end and separates members itself through key() and item(). Pure; any thread.
class JsonWriter {
 public:
  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }

  // Starts an object member; the value is written next.
  void key(std::string_view name);

  void string(std::string_view text);
  void boolean(bool value);
  void integer(int64_t value);
  void number(double value);  // "null" for a value that is not finite

  std::string take() { return std::move(out_); }

 private:
  void open(char bracket);
  void close(char bracket);
  void separate();  // the comma before an array item or object member, when one is due

  std::string out_;
  bool first_ = true;   // nothing written yet in the innermost container
  bool keyed_ = false;  // a key was written and its value is due
};

}  // namespace nimbra
