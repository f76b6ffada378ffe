#include "app/analysis_batches.h"

#include <algorithm>
#include <set>

namespace nimbra {

std::vector<HistoryArchive::Pending> takeBatch(const std::vector<HistoryArchive::Pending>& pending,
                                               size_t limit) {
  std::vector<HistoryArchive::Pending> batch;
  std::set<std::string, std::less<>> taken;
  for (const HistoryArchive::Pending& record : pending) {
    if (batch.size() >= limit) break;
    if (taken.insert(record.id).second) batch.push_back(record);
  }
  return batch;
}

std::map<std::string, HistoryObservation> matchObservations(
    const std::vector<HistoryArchive::Pending>& batch,
    const std::vector<HistoryObservation>& reply) {
  std::map<int64_t, std::vector<const HistoryObservation*>> byPosition;
  for (const HistoryObservation& observation : reply) {
    byPosition[observation.position].push_back(&observation);
  }
  std::map<int64_t, size_t> used;
  std::map<std::string, HistoryObservation> matched;
  for (const HistoryArchive::Pending& record : batch) {
    auto found = byPosition.find(record.packet.entry.position);
    if (found == byPosition.end()) continue;
    size_t& next = used[found->first];
    size_t index = std::min(next, found->second.size() - 1);
    ++next;
    matched.emplace(record.id, *found->second[index]);
  }
  return matched;
}

std::vector<HistoryArchive::Pending> withoutBatch(
    std::vector<HistoryArchive::Pending> pending,
    const std::vector<HistoryArchive::Pending>& batch) {
  std::set<std::string, std::less<>> sent;
  for (const HistoryArchive::Pending& record : batch) sent.insert(record.id);
  std::erase_if(pending,
                [&](const HistoryArchive::Pending& record) { return sent.contains(record.id); });
  return pending;
}

}  // namespace nimbra
