#include <array>
#include <cmath>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "app/controller.h"
#include "app/data_export.h"
#include "app/export_sources.h"
#include "core/dates.h"
#include "core/file_system.h"

// The page's "export" action: the user picks a destination in the desktop's chooser, then the
// kept data is read from the stores and written there in one atomic replace, on a thread of
// its own in the program (a month of samples takes seconds to read) and at once in tests. The
// outcome goes back to the page as window.exportResult({kind, ok, file, count, reason,
// detail}); a cancelled chooser sends nothing. Nothing leaves the computer.

namespace nimbra {

struct Controller::ExportJob {
  std::string kind;
  double from = 0;  // samples only: [from, to) in seconds since 1970
  double to = 0;
};

namespace {

using nlohmann::json;

struct ExportKind {
  std::string_view kind;
  std::string_view fileStem;
  std::string_view extension;
  std::string_view title;  // when the page sends none
};

constexpr std::array<ExportKind, 4> kKinds{{
    {"samples", "nimbra-samples", "csv", "Export samples"},
    {"journal", "nimbra-setting-journal", "csv", "Export setting journal"},
    {"maintenance", "nimbra-maintenance", "csv", "Export maintenance records"},
    {"history", "nimbra-history", "json", "Export history records"},
}};

// The page's title for the dialog, in its language; a title longer than this is not one.
constexpr size_t kLongestTitle = 200;

// A range longer than this is the page's mistake, not a wish: the store keeps 30 days.
constexpr double kLongestRangeSeconds = 400 * kSampleDayLength;

const ExportKind* findKind(std::string_view kind) {
  for (const ExportKind& known : kKinds) {
    if (known.kind == kind) return &known;
  }
  return nullptr;
}

std::optional<std::string> stringMember(const json& body, const char* key) {
  auto found = body.find(key);
  if (found == body.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::optional<double> number(const json& body, const char* key) {
  auto found = body.find(key);
  if (found == body.end() || !found->is_number()) return std::nullopt;
  double value = found->get<double>();
  return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

// "yyyy-mm-dd" as the page's date inputs give it, or none.
std::optional<std::string> dayText(const json& body, const char* key) {
  auto found = body.find(key);
  if (found == body.end() || !found->is_string()) return std::nullopt;
  const std::string& text = found->get_ref<const std::string&>();
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  return text;
}

std::string suggestedName(const ExportKind& kind, const json& body, Date now) {
  std::string days = iso8601(now).substr(0, 10);
  if (kind.kind == "samples") {
    std::optional<std::string> first = dayText(body, "fromDay");
    std::optional<std::string> last = dayText(body, "toDay");
    if (first && last) days = *first == *last ? *first : *first + "_" + *last;
  }
  return std::string(kind.fileStem) + "-" + days + "." + std::string(kind.extension);
}

struct Exported {
  std::string text;
  size_t count = 0;
};

size_t sampleCount(const std::vector<DataExport::DeviceSamples>& devices) {
  size_t count = 0;
  for (const DataExport::DeviceSamples& device : devices) count += device.samples.size();
  return count;
}

size_t recordCount(const std::vector<DataExport::ArchiveRecords>& archives) {
  size_t count = 0;
  for (const DataExport::ArchiveRecords& archive : archives) count += archive.records.size();
  return count;
}

// Writes the made text to `file` in one atomic replace; the page's result for it.
json writeExport(const std::string& kind, const std::filesystem::path& file,
                 const Result<Exported>& exported) {
  json result{{"kind", kind}, {"file", file.filename().string()}};
  if (!exported) {
    result.update({{"ok", false}, {"reason", "read"}, {"detail", exported.error().message}});
    return result;
  }
  const std::string& text = exported->text;
  Status written = writeFileAtomically(
      file, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  if (!written) {
    result.update({{"ok", false}, {"reason", "write"}, {"detail", written.error().message}});
  } else {
    result.update({{"ok", true}, {"count", exported->count}});
  }
  return result;
}

}  // namespace

void Controller::exportAction(const json& body) {
  std::optional<std::string> kindName = stringMember(body, "kind");
  const ExportKind* kind = kindName ? findKind(*kindName) : nullptr;
  if (!kind || !fileChooser_ || exportChoosing_) return;
  ExportJob job{std::string(kind->kind)};
  if (job.kind == "samples") {
    std::optional<double> from = number(body, "from");
    std::optional<double> to = number(body, "to");
    if (!from || !to || !(*from < *to) || *to - *from > kLongestRangeSeconds) return;
    job.from = *from;
    job.to = *to;
  }

  std::optional<std::string> title = stringMember(body, "title");
  if (!title || title->empty() || title->size() > kLongestTitle) title = std::string(kind->title);
  FileChooser::Request request{
      .title = std::move(*title),
      .suggestedName = suggestedName(*kind, body, clock_.now()),
      .filterName = kind->extension == "csv" ? "CSV" : "JSON",
      .mimeType = kind->extension == "csv" ? "text/csv" : "application/json",
  };
  exportChoosing_ = true;
  fileChooser_->chooseSaveDestination(
      request, [weak = weak_from_this(), job](std::optional<std::filesystem::path> file) {
        if (auto self = weak.lock()) self->exportChosen(job, file);
      });
}

void Controller::exportChosen(const ExportJob& job,
                              const std::optional<std::filesystem::path>& file) {
  exportChoosing_ = false;
  if (!file) return;

  // What the controller keeps is copied here; the stores are read where the work runs.
  std::function<Result<Exported>()> make;
  if (job.kind == "samples") {
    make = [storage = dataStorage_, from = job.from, to = job.to]() -> Result<Exported> {
      auto devices = ExportSources::samples(storage, DeviceProfile::iqosIlumaOne(), from, to);
      if (!devices) return devices.error();
      return Exported{DataExport::samplesCsv(*devices), sampleCount(*devices)};
    };
  } else if (job.kind == "journal") {
    make = [records = settingJournal_->records()]() -> Result<Exported> {
      return Exported{DataExport::settingJournalCsv(records), records.size()};
    };
  } else if (job.kind == "maintenance") {
    make = [records = maintenanceRecords_]() -> Result<Exported> {
      return Exported{DataExport::maintenanceCsv(records), records.size()};
    };
  } else {
    make = [storage = dataStorage_]() -> Result<Exported> {
      auto archives = ExportSources::historyArchives(storage);
      if (!archives) return archives.error();
      return Exported{DataExport::historyJson(*archives), recordCount(*archives)};
    };
  }

  auto work = [make = std::move(make), kind = job.kind, file = *file, &queue = queue_,
               weak = weak_from_this()] {
    json result = writeExport(kind, file, make());
    queue.post([weak, result = std::move(result)] {
      std::shared_ptr<Controller> self = weak.lock();
      std::shared_ptr<PageView> page = self ? self->web_.lock() : nullptr;
      if (!page) return;
      page->evaluate("window.exportResult(" +
                     result.dump(-1, ' ', false, json::error_handler_t::replace) + ")");
    });
  };
  if (!exportThread_) return work();
  if (!exportWorker_) exportWorker_ = std::make_unique<SerialQueue>(kExportThreadName);
  exportWorker_->async(std::move(work));
}

}  // namespace nimbra
