#include "server/history_analysis.h"

#include <memory>
#include <set>
#include <utility>

#include "core/base64.h"
#include "core/json_fields.h"
#include "server/analysis_documents.h"

namespace nimbra::HistoryAPI {
namespace {

bool consistent(int64_t schemaVersion, const std::vector<HistoryObservation>& observations,
                const std::vector<HistoryPacket>& sent) {
  if (schemaVersion != kSchemaVersion || observations.size() != sent.size()) return false;
  std::set<int64_t> sentPositions;
  for (const HistoryPacket& packet : sent) sentPositions.insert(packet.entry.position);
  std::set<int64_t> observedPositions;
  for (const HistoryObservation& observation : observations) {
    observedPositions.insert(observation.position);
  }
  return sentPositions == observedPositions;
}

}  // namespace

nlohmann::ordered_json analysisRequest(const std::vector<HistoryPacket>& packets) {
  nlohmann::ordered_json records = nlohmann::ordered_json::array();
  for (const HistoryPacket& packet : packets) {
    nlohmann::ordered_json record;
    record["position"] = packet.entry.position;
    record["payload"] = base64Encode(packet.payload);
    records.push_back(std::move(record));
  }
  nlohmann::ordered_json request;
  request["schemaVersion"] = kSchemaVersion;
  request["brand"] = kBrand;
  request["model"] = kModel;
  request["records"] = std::move(records);
  return request;
}

Result<std::vector<HistoryObservation>> decodeAnalysisReply(
    std::string_view body, const std::vector<HistoryPacket>& sent) {
  int64_t schemaVersion = 0;
  std::vector<HistoryObservation> observations;
  try {
    nlohmann::json reply = nlohmann::json::parse(body);
    schemaVersion = requiredInt64(reply, "schemaVersion");
    const nlohmann::json& list = reply.at("observations");
    if (!list.is_array()) {
      throw nlohmann::json::type_error::create(302, "\"observations\" is not an array", &list);
    }
    observations.reserve(list.size());
    for (const nlohmann::json& item : list) {
      observations.push_back(historyObservationFromJson(item, ObservationDates::iso8601));
    }
  } catch (const nlohmann::json::exception& failure) {
    return jsonDecodingError(failure.what());
  }
  if (!consistent(schemaVersion, observations, sent)) {
    return clientError(kInconsistentReplyMessage);
  }
  return observations;
}

TaskHandle analyze(MainQueue& queue, const Endpoint& endpoint, const Uuid& installationID,
                   std::vector<HistoryPacket> packets, AnalysisCompletion completion) {
  if (packets.empty()) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    queue.post([cancelled, completion = std::move(completion)] {
      if (!cancelled->load()) completion(std::vector<HistoryObservation>{});
    });
    return TaskHandle(cancelled);
  }
  nlohmann::ordered_json request = analysisRequest(packets);
  return postJSON(
      queue, endpoint, kAnalyzePath, std::move(request), installationID,
      [packets = std::move(packets), completion = std::move(completion)](Result<Body> body) {
        if (!body) return completion(body.error());
        completion(decodeAnalysisReply(*body, packets));
      });
}

}  // namespace nimbra::HistoryAPI
