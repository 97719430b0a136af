// autopoll: Modbus RTU for the one module at address 68, polling by itself
// from one interval after the window opens.
#pragma once

#include "apps/common/program.h"
#include "codec/rtu.h"

namespace autopoll {

// The module autopoll asks, the only one it knows.
constexpr std::uint8_t kAddress = 68;
static_assert(rtu::BuildRequest(kAddress) == rtu::Request{68, 4, 0, 0, 0, 8, 255, 89});

// The start-up: the window, and polling started with the fixed request. The
// first tick, one interval later, opens the port and sends it.
std::unique_ptr<apps::Program> Load(const acquisition::LinkSettings& settings);

} // namespace autopoll
