#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "device/history_observation.h"
#include "storage/history_archive.h"

namespace nimbra {

// How the records awaiting analysis are cut into server requests and how a reply is shared
// out among the records of its request. Pure functions, any thread.

inline constexpr size_t kAnalysisBatchSize = 30;

// The first records of `pending`, in order, skipping an id taken already, until `limit`
// records are in the batch.
std::vector<HistoryArchive::Pending> takeBatch(const std::vector<HistoryArchive::Pending>& pending,
                                               size_t limit = kAnalysisBatchSize);

// Pending id → the observation whose position equals the record's entry position. A batch may
// hold several records at one position (the archive tells them apart by payload); the reply
// then carries one observation per record at that position, and the n-th such record (in
// batch order) takes the n-th such observation (in reply order). A record left over because
// the reply holds fewer takes the last one at its position; a record whose position the reply
// lacks gets none.
std::map<std::string, HistoryObservation> matchObservations(
    const std::vector<HistoryArchive::Pending>& batch,
    const std::vector<HistoryObservation>& reply);

// `pending` without the records of `batch`: each pass shrinks the list by its whole batch,
// even should a record have received no observation, so the analysis always ends.
std::vector<HistoryArchive::Pending> withoutBatch(
    std::vector<HistoryArchive::Pending> pending,
    const std::vector<HistoryArchive::Pending>& batch);

}  // namespace nimbra
