#pragma once

#include <vector>

#include "app/data_export.h"
#include "core/error.h"
#include "storage/device_sample.h"
#include "storage/local_storage.h"

// Reads what an export writes out of the sealed stores, read-only: the day files of the sample
// store and the history archive files. Safe beside the sample writer's thread, whose every
// write replaces a file whole. Any thread.
namespace nimbra::ExportSources {

// The samples of every device of `profile`'s kind observed in [from, to) (seconds since
// 1970), devices in key order, each device's samples in day and file order. No store yet
// gives no samples; a day file that cannot be read fails the whole read.
Result<std::vector<DataExport::DeviceSamples>> samples(const LocalStorage& storage,
                                                       const DeviceProfile& profile, double from,
                                                       double to);

// Every history archive file of the data directory, in archive id order.
Result<std::vector<DataExport::ArchiveRecords>> historyArchives(const LocalStorage& storage);

}  // namespace nimbra::ExportSources
