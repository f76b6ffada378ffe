// HistoryArchive::decode: the archive document's streaming reader.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <set>

#include <locale.h>
#include <nlohmann/json.hpp>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "core/base64.h"
#include "core/dates.h"
#include "storage/history_archive.h"
#include "storage/storage_error.h"

namespace nimbra {
namespace {

// The members an entry reads, then those an observation reads; anything else is skipped
// whatever its shape.
enum class Member { directory, format, position, payload, firstReadAt, observation, unknown };
enum class Seen { position, candidateTime, tailEntries, eventKind, kind, unknown };

Member memberNamed(std::string_view key) {
  if (key == "directory") return Member::directory;
  if (key == "format") return Member::format;
  if (key == "position") return Member::position;
  if (key == "payload") return Member::payload;
  if (key == "firstReadAt") return Member::firstReadAt;
  if (key == "observation") return Member::observation;
  return Member::unknown;
}

Seen observationMemberNamed(std::string_view key) {
  if (key == "position") return Seen::position;
  if (key == "candidateTime") return Seen::candidateTime;
  if (key == "tailEntries") return Seen::tailEntries;
  if (key == "eventKind") return Seen::eventKind;
  if (key == "kind") return Seen::kind;
  return Seen::unknown;
}

// What the latest value of a member left: nothing usable (absent or null), a usable value,
// or a value of the wrong form. A repeated key replaces the earlier value, as nlohmann's
// tree keeps the last, so only the state at the closing brace counts.
enum class State : uint8_t { missing, valid, invalid };

// One scalar as nlohmann would classify it.
struct Scalar {
  enum class Kind { null, boolean, integer, unsignedInteger, floating, text };

  explicit Scalar(Kind of) : kind(of) {}

  Kind kind;
  int64_t integer = 0;
  uint64_t unsignedInteger = 0;
  double floating = 0;
  std::string_view text;

  bool isNumber() const {
    return kind == Kind::integer || kind == Kind::unsignedInteger || kind == Kind::floating;
  }
  // json::get<double> of a number.
  double number() const {
    if (kind == Kind::integer) return static_cast<double>(integer);
    if (kind == Kind::unsignedInteger) return static_cast<double>(unsignedInteger);
    return floating;
  }
};

// requiredInt64's rule: an integer literal within int64, or a number with a zero fraction
// (3.0, 1e3) within [-2^63, 2^63).
std::optional<int64_t> wholeNumber(const Scalar& value) {
  switch (value.kind) {
    case Scalar::Kind::integer:
      return value.integer;
    case Scalar::Kind::unsignedInteger:
      if (value.unsignedInteger > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return std::nullopt;
      }
      return static_cast<int64_t>(value.unsignedInteger);
    case Scalar::Kind::floating:
      if (std::trunc(value.floating) == value.floating &&
          value.floating >= -9223372036854775808.0 && value.floating < 9223372036854775808.0) {
        return static_cast<int64_t>(value.floating);
      }
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::optional<int> intValue(const Scalar& value) {
  std::optional<int64_t> number = wholeNumber(value);
  if (!number || *number < std::numeric_limits<int>::min() ||
      *number > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*number);
}

// Dates are seconds since 2001 as any JSON number; ISO text is the server reply's form and
// is refused here.
std::optional<Date> dateValue(const Scalar& value) {
  if (!value.isNumber()) return std::nullopt;
  return checkedDateFromSecondsSince2001(value.number());
}

// Event handler for "{ key: {entry}, ... }" fed by RapidJSON's reader. It accepts exactly what
// nlohmann's parse followed by the archive's tree reader accepted, so numbers arrive as text
// and are classified as nlohmann does, the last of repeated keys counts at every level (an
// entry's or an observation's verdict is taken at its closing brace, the document's at its
// end), and a number too large to be finite fails the document even where it is skipped.
// Depth 1 is the document, 2 an entry, 3 its observation.
class ArchiveReader {
 public:
  using Ch = char;

  HistoryArchive::Records records;
  std::string problem;

  // `escapes`: whether the text may hold a backslash-u escape; without one no string needs the
  // surrogate check below.
  explicit ArchiveReader(bool escapes) : escapes_(escapes) {}

  bool Null() { return scalar(Scalar(Scalar::Kind::null)); }
  bool Bool(bool) { return scalar(Scalar(Scalar::Kind::boolean)); }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    std::string_view number(text, length);
    Scalar value(Scalar::Kind::floating);
    if (number.find_first_of(".eE") == std::string_view::npos) {
      if (number.front() == '-') {
        if (parsed(number, value.integer)) {
          value.kind = Scalar::Kind::integer;
          return scalar(value);
        }
      } else if (parsed(number, value.unsignedInteger)) {
        value.kind = Scalar::Kind::unsignedInteger;
        return scalar(value);
      }
    }
    // Fractions, exponents and integers too large for 64 bits are floating point.
    std::optional<double> floating = floatingValue(number);
    if (!floating) return fail("number too large");
    value.floating = *floating;
    return scalar(value);
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    if (escapes_ && hasLoneSurrogate(text, length))
      return fail("a string holds half a surrogate pair");
    Scalar value(Scalar::Kind::text);
    value.text = std::string_view(text, length);
    return scalar(value);
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    if (escapes_ && hasLoneSurrogate(text, length))
      return fail("a key holds half a surrogate pair");
    if (skipDepth_ > 0) return true;
    std::string_view key(text, length);
    if (depth_ == 1) {
      recordKey_.assign(key);
    } else if (depth_ == 2) {
      member_ = memberNamed(key);
    } else {
      seen_ = observationMemberNamed(key);
    }
    return true;
  }

  bool StartObject() {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    switch (depth_) {
      case 0:
        break;
      case 1:
        entry_ = HistoryArchive::Entry();
        entryStates_.fill(State::missing);
        break;
      case 2:
        if (member_ != Member::observation) return structured();
        observation_ = HistoryObservation();
        observationStates_.fill(State::missing);
        break;
      default:
        return structured();
    }
    ++depth_;
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    if (skipDepth_ > 0) return --skipDepth_, true;
    --depth_;
    switch (depth_) {
      case 0:
        if (!invalidKeys_.empty())
          return fail("record \"" + *invalidKeys_.begin() + "\" is invalid");
        return true;
      case 1:
        entryVerdict();
        return true;
      default:
        observationVerdict();
        return true;
    }
  }
  bool StartArray() {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    if (depth_ == 0) return fail("the archive is not a JSON object");
    return structured();
  }
  bool EndArray(rapidjson::SizeType) {
    --skipDepth_;  // every array is skipped
    return true;
  }

  // A value already classified (by nlohmann's lexer, see ExactEvents).
  bool Value(const Scalar& value) { return scalar(value); }

  // Never called: numbers come through RawNumber.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(int64_t) { return false; }
  bool Uint64(uint64_t) { return false; }
  bool Double(double) { return false; }

 private:
  // RapidJSON turns an escaped low surrogate without its high half ("\uDC00") into the
  // three bytes ED B0..BF 80..BF, which nlohmann refuses. Validated input cannot hold those
  // bytes itself (they encode no character), so finding them means such an escape.
  static bool hasLoneSurrogate(const char* text, size_t length) {
    const char* end = text + length;
    for (const char* at = text; (at = static_cast<const char*>(std::memchr(at, '\xED', end - at)));
         ++at) {
      if (end - at > 1 && static_cast<unsigned char>(at[1]) >= 0xA0) return true;
    }
    return false;
  }

  template <typename T>
  static bool parsed(std::string_view text, T& value) {
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    return failure == std::errc() && end == text.data() + text.size();
  }

  // The double nearest to a JSON number, or absent when it is too large to be finite, which
  // nlohmann refuses too. from_chars also refuses numbers that underflow to zero, which
  // nlohmann (through strtod) reads as zero or subnormal: those go to strtod as well, in the
  // "C" locale so a decimal comma in the user's locale cannot change the result.
  static std::optional<double> floatingValue(std::string_view number) {
    double value = 0;
    auto [end, failure] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (failure == std::errc() && end == number.data() + number.size()) return value;
    if (failure != std::errc::result_out_of_range) return std::nullopt;
    static const locale_t kCLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    std::string terminated(number);
    value = strtod_l(terminated.c_str(), nullptr, kCLocale);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
  }

  bool fail(std::string why) {
    if (problem.empty()) problem = std::move(why);
    return false;
  }

  State& state(Member member) { return entryStates_[static_cast<size_t>(member)]; }
  State& state(Seen member) { return observationStates_[static_cast<size_t>(member)]; }

  // The latest value of the current record is not an entry.
  void invalidRecord() {
    records.erase(recordKey_);
    invalidKeys_.insert(recordKey_);
  }

  // An object or array where no known member takes one: skipped, and wrong for the member.
  bool structured() {
    if (depth_ == 1) {
      invalidRecord();
    } else if (depth_ == 2 && member_ != Member::unknown) {
      state(member_) = State::invalid;
    } else if (depth_ == 3 && seen_ != Seen::unknown) {
      state(seen_) = State::invalid;
    }
    skipDepth_ = 1;
    return true;
  }

  bool scalar(const Scalar& value) {
    if (skipDepth_ > 0) return true;
    switch (depth_) {
      case 0:
        return fail("the archive is not a JSON object");
      case 1:
        invalidRecord();
        return true;
      case 2:
        entryMember(value);
        return true;
      default:
        observationMember(value);
        return true;
    }
  }

  // A null reads as absent: a required member then fails the entry, an observation is none.
  static void set(State& state, const Scalar& value, bool usable) {
    if (value.kind == Scalar::Kind::null) {
      state = State::missing;
    } else {
      state = usable ? State::valid : State::invalid;
    }
  }

  void entryMember(const Scalar& value) {
    switch (member_) {
      case Member::directory:
      case Member::format:
      case Member::position: {
        std::optional<int> number = intValue(value);
        if (number) integerMember() = *number;
        return set(state(member_), value, number.has_value());
      }
      case Member::payload: {
        std::optional<std::vector<uint8_t>> payload;
        if (value.kind == Scalar::Kind::text) payload = base64Decode(value.text);
        if (payload) entry_.payload = std::move(*payload);
        return set(state(member_), value, payload.has_value());
      }
      case Member::firstReadAt: {
        std::optional<Date> date = dateValue(value);
        if (date) entry_.firstReadAt = *date;
        return set(state(member_), value, date.has_value());
      }
      case Member::observation:
        entry_.observation.reset();
        return set(state(member_), value, false);  // a scalar where an object must be
      case Member::unknown:
        return;
    }
  }

  int& integerMember() {
    if (member_ == Member::directory) return entry_.directory;
    if (member_ == Member::format) return entry_.format;
    return entry_.position;
  }

  void observationMember(const Scalar& value) {
    switch (seen_) {
      case Seen::position:
      case Seen::tailEntries: {
        std::optional<int64_t> number = wholeNumber(value);
        if (number)
          (seen_ == Seen::position ? observation_.position : observation_.tailEntries) = *number;
        return set(state(seen_), value, number.has_value());
      }
      case Seen::candidateTime: {
        // Looked up without the null-means-absent rule: a null is a date of the wrong form.
        std::optional<Date> date = dateValue(value);
        if (date) observation_.candidateTime = *date;
        state(seen_) = date ? State::valid : State::invalid;
        return;
      }
      case Seen::eventKind:
        if (value.kind == Scalar::Kind::text) {
          observation_.eventKind = std::string(value.text);
        } else {
          observation_.eventKind.reset();
        }
        return set(state(seen_), value, value.kind == Scalar::Kind::text);
      case Seen::kind:
        if (value.kind == Scalar::Kind::text) observation_.kind = std::string(value.text);
        return set(state(seen_), value, value.kind == Scalar::Kind::text);
      case Seen::unknown:
        return;
    }
  }

  // At an observation's closing brace: every required member holds a usable last value and
  // the event kind, when present, is text.
  void observationVerdict() {
    bool usable = state(Seen::position) == State::valid &&
                  state(Seen::candidateTime) == State::valid &&
                  state(Seen::tailEntries) == State::valid && state(Seen::kind) == State::valid &&
                  state(Seen::eventKind) != State::invalid;
    if (usable) {
      entry_.observation = std::move(observation_);
    } else {
      entry_.observation.reset();
    }
    state(Member::observation) = usable ? State::valid : State::invalid;
  }

  // At an entry's closing brace: it replaces any earlier record of its key, or, when not
  // usable, leaves the key failing the document unless a later value replaces it.
  void entryVerdict() {
    bool usable =
        state(Member::directory) == State::valid && state(Member::format) == State::valid &&
        state(Member::position) == State::valid && state(Member::payload) == State::valid &&
        state(Member::firstReadAt) == State::valid && state(Member::observation) != State::invalid;
    if (!usable) return invalidRecord();
    records.insert_or_assign(records.end(), recordKey_, std::move(entry_));
    if (!invalidKeys_.empty()) invalidKeys_.erase(recordKey_);
  }

  bool escapes_;
  int depth_ = 0;
  int skipDepth_ = 0;
  std::string recordKey_;
  Member member_ = Member::unknown;
  Seen seen_ = Seen::unknown;
  HistoryArchive::Entry entry_;
  HistoryObservation observation_;
  std::array<State, static_cast<size_t>(Member::unknown)> entryStates_{};
  std::array<State, static_cast<size_t>(Seen::unknown)> observationStates_{};
  std::set<std::string, std::less<>> invalidKeys_;
};

// Feeds the reader from nlohmann's own event parser, for the rare text RapidJSON refuses
// where nlohmann does not: a number whose digits or exponent look too large but whose value
// is finite ("0e400", a 400-digit mantissa with "e-400"). Slower, but the same lexer the
// archive has always been read with.
class ExactEvents {
 public:
  explicit ExactEvents(ArchiveReader& reader) : reader_(&reader) {}

  bool null() { return reader_->Null(); }
  bool boolean(bool value) { return reader_->Bool(value); }
  bool number_integer(int64_t number) {
    Scalar value(Scalar::Kind::integer);
    value.integer = number;
    return reader_->Value(value);
  }
  bool number_unsigned(uint64_t number) {
    Scalar value(Scalar::Kind::unsignedInteger);
    value.unsignedInteger = number;
    return reader_->Value(value);
  }
  bool number_float(double number, const std::string&) {
    Scalar value(Scalar::Kind::floating);
    value.floating = number;
    return reader_->Value(value);
  }
  bool string(std::string& text) {
    Scalar value(Scalar::Kind::text);
    value.text = text;
    return reader_->Value(value);
  }
  bool binary(nlohmann::json::binary_t&) { return false; }
  bool key(std::string& text) {
    return reader_->Key(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
  }
  bool start_object(size_t) { return reader_->StartObject(); }
  bool end_object() { return reader_->EndObject(0); }
  bool start_array(size_t) { return reader_->StartArray(); }
  bool end_array() { return reader_->EndArray(0); }
  bool parse_error(size_t, const std::string&, const nlohmann::json::exception& failure) {
    if (reader_->problem.empty()) reader_->problem = failure.what();
    return false;
  }

 private:
  ArchiveReader* reader_;
};

Result<HistoryArchive::Records> decodeExactly(std::string_view plaintext) {
  // nlohmann reads a NUL byte as the end of the text; here it fails the document, as below.
  if (plaintext.find('\0') != std::string_view::npos) {
    return storageError(StorageErrorKind::decodingFailed, "a NUL byte in the archive");
  }
  ArchiveReader reader(false);  // nlohmann refuses a lone surrogate itself
  ExactEvents events(reader);
  if (!nlohmann::json::sax_parse(plaintext, &events)) {
    return storageError(StorageErrorKind::decodingFailed, reader.problem);
  }
  return std::move(reader.records);
}

}  // namespace

Result<HistoryArchive::Records> HistoryArchive::decode(std::string_view plaintext) {
  // As the day files' reader: iterative parsing keeps deep nesting in unknown values off the
  // call stack; the memory stream is bounded, so the text needs no terminator, and a NUL it
  // contains reads as the end, which the position check turns into a failure.
  constexpr unsigned kFlags = rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseIterativeFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  std::string_view whole = plaintext;
  if (plaintext.starts_with(kByteOrderMark)) plaintext.remove_prefix(kByteOrderMark.size());
  ArchiveReader reader(plaintext.find("\\u") != std::string_view::npos);
  rapidjson::MemoryStream stream(plaintext.data(), plaintext.size());
  rapidjson::Reader parser;
  rapidjson::ParseResult result = parser.Parse<kFlags>(stream, reader);
  if (result.Code() == rapidjson::kParseErrorNumberTooBig) return decodeExactly(whole);
  if (result.IsError() || stream.Tell() != plaintext.size()) {
    std::string why = reader.problem;
    if (why.empty() && result.IsError()) {
      why = std::string(rapidjson::GetParseError_En(result.Code())) + " at byte " +
            std::to_string(result.Offset());
    }
    if (why.empty()) why = "text after the archive";
    return storageError(StorageErrorKind::decodingFailed, why);
  }
  return std::move(reader.records);
}

}  // namespace nimbra
