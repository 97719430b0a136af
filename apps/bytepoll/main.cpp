#include "bytepoll/bytepoll.h"

int main(int argc, char* argv[])
{
    return apps::Run(argc, argv, "bytepoll",
                     "Polls an 8-channel input module once a second with a Modbus RTU request to "
                     "read input registers 0 to 7, and shows the eight values, the requests sent "
                     "(采集次数) and the replies that failed their CRC (出错次数). Type the module "
                     "address (67 at start) and press 开始采集.",
                     &bytepoll::Load);
}
