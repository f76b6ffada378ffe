#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "core/uuid.h"
#include "storage/local_settings.h"

// One UUID per installation, sent with every analysis request and telemetry event. Derived
// from the machine's own identifier where there is one, so it survives reinstalling and
// deleting nimbra's data; otherwise a random one kept in the local settings.
namespace nimbra::InstallationIdentity {

// Keeps identifiers of different purposes apart even when derived from the same machine id.
inline constexpr std::string_view kDerivationPrefix = "com.zuvo.devicecenter.installation.v1:";
inline constexpr char kSettingsKey[] = "ZuvoInstallationID";
inline constexpr char kMachineIdPath[] = "/etc/machine-id";

// The process-wide identifier: computed by the first caller (any thread; concurrent first
// callers wait for that one result) and never recomputed. Never fails: without the machine
// id and without usable settings the worst case is a random identifier for this process.
const Uuid& installationID();

// The pieces installationID() is made of, each usable on its own.

// Machine-id text: 32 hexadecimal digits in either case, optionally followed by white space
// (the file ends in a line feed), read as the UUID's 16 bytes. Anything else, and the
// all-zero id, gives none.
std::optional<Uuid> platformUUIDFromText(std::string_view text);
// platformUUIDFromText of the file; a missing or unreadable file gives none.
std::optional<Uuid> platformUUID(const std::filesystem::path& machineIdPath = kMachineIdPath);

// SHA-256 of kDerivationPrefix + the canonical (upper-case) text of `platform`; the first 16
// bytes with the version nibble set to 8 and the variant bits to 10.
Uuid deriveInstallationID(const Uuid& platform);

// The identifier for this process: derived from `platform` when there is one (and any stored
// random identifier is left alone), otherwise the one stored under kSettingsKey, otherwise a
// new random one that is stored there for later processes (a failed write is ignored).
Uuid resolveInstallationID(const std::optional<Uuid>& platform, const LocalSettings* settings);

}  // namespace nimbra::InstallationIdentity
