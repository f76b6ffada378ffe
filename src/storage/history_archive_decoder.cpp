// HistoryArchive::decode: the archive document's streaming reader.
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>

#include "core/base64.h"
#include "core/dates.h"
#include "storage/history_archive.h"
#include "storage/json_event_reader.h"
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

using Scalar = JsonScalar;

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

// Handler for "{ key: {entry}, ... }" fed by readJsonEvents. It accepts exactly what
// nlohmann's parse followed by the archive's tree reader accepted, so the last of repeated
// keys counts at every level: an entry's or an observation's verdict is taken at its closing
// brace, the document's at its end.
// Depth 1 is the document, 2 an entry, 3 its observation.
class ArchiveReader final : public JsonEventHandler {
 public:
  HistoryArchive::Records records;

  bool value(const Scalar& value) override {
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
  bool key(std::string_view key) override {
    if (depth_ == 1) {
      recordKey_.assign(key);
    } else if (depth_ == 2) {
      member_ = memberNamed(key);
    } else {
      seen_ = observationMemberNamed(key);
    }
    return true;
  }

  bool startObject() override {
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
  bool endObject() override {
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
  bool startArray() override {
    if (depth_ == 0) return fail("the archive is not a JSON object");
    return structured();
  }
  bool endArray() override { return true; }  // never reached: every array is skipped

 private:
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
    return skipContainer();
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

  int depth_ = 0;
  std::string recordKey_;
  Member member_ = Member::unknown;
  Seen seen_ = Seen::unknown;
  HistoryArchive::Entry entry_;
  HistoryObservation observation_;
  std::array<State, static_cast<size_t>(Member::unknown)> entryStates_{};
  std::array<State, static_cast<size_t>(Seen::unknown)> observationStates_{};
  std::set<std::string, std::less<>> invalidKeys_;
};

}  // namespace

Result<HistoryArchive::Records> HistoryArchive::decode(std::string_view plaintext) {
  ArchiveReader reader;
  if (!readJsonEvents(plaintext, reader)) {
    return storageError(StorageErrorKind::decodingFailed, reader.problem);
  }
  return std::move(reader.records);
}

}  // namespace nimbra
