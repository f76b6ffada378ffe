#include "update/update_job.h"

#include <limits>

#include <nlohmann/json.hpp>

#include "core/json_fields.h"

namespace nimbra {

std::string AppUpdateJob::encode() const {
  nlohmann::ordered_json object;
  object["id"] = id.text();
  object["parentPID"] = parentPID;
  object["target"] = target;
  object["stagedApp"] = stagedApp;
  object["archive"] = archive;
  object["release"] = UpdateRelease::encode(release);
  return object.dump();
}

Result<AppUpdateJob> AppUpdateJob::decode(std::string_view text) {
  try {
    nlohmann::json object = nlohmann::json::parse(text);
    if (!object.is_object() || !object.contains("release")) {
      return jsonDecodingError("the job is not a JSON object with a release");
    }
    AppUpdateJob job;
    std::optional<Uuid> id = Uuid::parse(requiredString(object, "id"));
    int64_t pid = requiredInt64(object, "parentPID");
    if (!id || pid <= 0 || pid > std::numeric_limits<int32_t>::max()) {
      return jsonDecodingError("bad job id or parent process");
    }
    job.id = *id;
    job.parentPID = static_cast<int32_t>(pid);
    job.target = requiredString(object, "target");
    job.stagedApp = requiredString(object, "stagedApp");
    job.archive = requiredString(object, "archive");
    Result<AppUpdateRelease> release = UpdateRelease::decode(object["release"].dump());
    if (!release) return release.error();
    job.release = std::move(*release);
    return job;
  } catch (const nlohmann::json::exception& e) {
    return jsonDecodingError(e.what());
  }
}

}  // namespace nimbra
