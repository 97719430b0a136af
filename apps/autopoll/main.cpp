#include "autopoll/autopoll.h"

int main(int argc, char* argv[])
{
    return apps::Run(
        argc, argv, "autopoll",
        "Polls the 8-channel input module at address 68 once a second with a Modbus RTU request to "
        "read input registers 0 to 7, from one second after the window opens, and shows the eight "
        "values, the requests sent (采集次数) and the replies that failed their CRC (出错次数).",
        &autopoll::Load);
}
