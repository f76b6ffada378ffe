#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "core/main_queue.h"
#include "core/uuid.h"
#include "device/history_observation.h"
#include "device/history_types.h"
#include "server/post_json.h"

// Sending history records to the analysis server and checking that the observations that
// come back belong to exactly the records sent.
namespace nimbra::HistoryAPI {

inline constexpr char kAnalyzePath[] = "v1/history/analyze";
inline constexpr char kInconsistentReplyMessage[] = "历史解析响应与本次设备读取不一致";

// {"schemaVersion":1,"brand":"iqos","model":"m0033","records":[{"position":…,"payload":…}]}
// with one record per packet, in the packets' order, payloads in Base64.
nlohmann::ordered_json analysisRequest(const std::vector<HistoryPacket>& packets);

// Decodes the reply (a JSON-decoding error when it is not the expected shape) and checks it
// against what was sent: schema version 1, one observation per packet, and the same set of
// positions (duplicates collapse, order is free). A mismatch is kInconsistentReplyMessage.
// The observations come back in the reply's order.
Result<std::vector<HistoryObservation>> decodeAnalysisReply(std::string_view body,
                                                            const std::vector<HistoryPacket>& sent);

using AnalysisCompletion = std::function<void(Result<std::vector<HistoryObservation>>)>;

// Any thread; `completion` runs on `queue` (not after a cancel made on the main thread).
// `installationID` is the process-wide installation identifier. An empty packet list
// completes with an empty list without any network traffic.
TaskHandle analyze(MainQueue& queue, const Endpoint& endpoint, const Uuid& installationID,
                   std::vector<HistoryPacket> packets, AnalysisCompletion completion);

}  // namespace nimbra::HistoryAPI
