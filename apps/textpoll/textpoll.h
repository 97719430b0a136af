// textpoll: Modbus ASCII, the module address typed by the operator, with the
// request and reply lines on screen; nothing is sent until the start button
// is pressed.
#pragma once

#include "apps/common/program.h"

namespace textpoll {

// The start-up: the window with 67 in the address field. A click on 开始采集
// builds the request line for the typed address, shows it and starts polling.
std::unique_ptr<apps::Program> Load(const acquisition::LinkSettings& settings);

// The start button's rule alone: addresses -32768 to 32755.
std::unique_ptr<apps::StartButton> MakeStartButton();

} // namespace textpoll
