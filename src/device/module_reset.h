#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace nimbra {

// Command 2 with the flag and payload 00 00 00 00, engine module (hop 1) first.
inline constexpr std::string_view kEngineResetFrame = "3f08c946000000000080";
inline constexpr std::string_view kControlResetFrame = "3f08c046000000000080";

// The engine needs this long to go down before the control module may follow.
inline constexpr std::chrono::milliseconds kModuleResetPause{3100};

// Blocks the calling thread for the given time. Injected so tests need not wait.
using SleepFunction = std::function<void(std::chrono::milliseconds)>;

void sleepOnThisThread(std::chrono::milliseconds duration);

// Opens `serial` under `epoch`, resets the engine module, sleeps the pause with the device held
// open, and resets the control module unless the connection was cancelled meanwhile. True when
// both modules acknowledged with an empty reply. A failed engine reset is final; a successful
// one is not undone when the control reset fails.
// Thread: the device queue.
bool resetModulesOnDevice(const std::string& serial, uint32_t epoch, const SleepFunction& sleep);

}  // namespace nimbra
