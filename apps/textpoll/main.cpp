#include "textpoll/textpoll.h"

int main(int argc, char* argv[])
{
    return apps::Run(
        argc, argv, "textpoll",
        "Polls an 8-channel input module once a second with a Modbus ASCII request to read input "
        "registers 0 to 7, and shows the eight values in tenths, the request and reply lines, the "
        "requests sent (采集次数) and the replies that failed their LRC (出错次数). Type the "
        "module address (67 at start) and press 开始采集.",
        &textpoll::Load);
}
