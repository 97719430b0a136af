// bytepoll: Modbus RTU, the module address typed by the operator; nothing is
// sent until the start button is pressed.
#pragma once

#include "apps/common/program.h"
#include "codec/rtu.h"

namespace bytepoll {

// The request for address 67, fixed before any CRC is computed at run time.
constexpr int kFirstAddress = protocol::kDefaultAddress;
static_assert(rtu::BuildRequest(kFirstAddress) == rtu::Request{67, 4, 0, 0, 0, 8, 254, 238});

// The start-up: the window, the first request (not yet sent) and 67 in the
// address field; a click on 开始采集 puts the typed address, 0 to 255, into
// the request with a fresh CRC and starts polling.
std::unique_ptr<apps::Program> Load(const acquisition::LinkSettings& settings);

// The start button's rule alone: addresses 0 to 255.
std::unique_ptr<apps::StartButton> MakeStartButton();

} // namespace bytepoll
