// The analysis server's reply and its consistency check against the records sent.
//
// Input: byte 0 gives the number of packets sent (0-7), then two bytes per packet give its
// position (little-endian, so positions repeat often); the rest is the reply body.
// Invariants: a reply is accepted only with schema version 1, one observation per packet and
// the same set of positions; a failure is either the JSON-decoding error or the inconsistency
// message. Each accepted observation re-encodes, in the reply's form and in the archive's,
// to one that decodes to the same observation.

#include <cstdint>
#include <set>
#include <vector>

#include "core/json_fields.h"
#include "fuzz_support.h"
#include "server/history_analysis.h"

using nimbra::HistoryObservation;
using nimbra::ObservationDates;
using nimbra::fuzz::check;

namespace {

void checkRoundTrip(const HistoryObservation& observation, ObservationDates dates) {
  nlohmann::json encoded = nlohmann::json::parse(nimbra::toJson(observation, dates).dump());
  HistoryObservation again;
  try {
    again = nimbra::historyObservationFromJson(encoded, dates);
  } catch (const nlohmann::json::exception&) {
    nimbra::fuzz::fail("an accepted observation re-encodes to one that decodes");
  }
  check(again == observation, "an accepted observation re-encodes to the same observation");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t count = data[0] % 8;
  if (size < 1 + 2 * count) return 0;
  std::vector<nimbra::HistoryPacket> sent;
  std::set<int64_t> positions;
  for (size_t i = 0; i < count; ++i) {
    int position = data[1 + 2 * i] | data[2 + 2 * i] << 8;
    sent.push_back({nimbra::HistoryEntry{0, position, 1, 18}, {0x01}});
    positions.insert(position);
  }
  const size_t at = 1 + 2 * count;
  auto decoded =
      nimbra::HistoryAPI::decodeAnalysisReply(nimbra::fuzz::textOf(data + at, size - at), sent);
  if (!decoded) {
    const nimbra::Error& error = decoded.error();
    check(error.is(nimbra::kCocoaErrorDomain, nimbra::kJsonDecodingErrorCode) ||
              error.message == nimbra::HistoryAPI::kInconsistentReplyMessage,
          "a refused reply is a decoding error or an inconsistent one");
    return 0;
  }
  check(decoded->size() == sent.size(), "one observation per packet sent");
  std::set<int64_t> observed;
  for (const HistoryObservation& observation : *decoded) {
    observed.insert(observation.position);
    checkRoundTrip(observation, ObservationDates::iso8601);
    checkRoundTrip(observation, ObservationDates::secondsSince2001);
  }
  check(observed == positions, "the observed positions are the positions sent");
  return 0;
}
