#include "textpoll/textpoll.h"

int main(int argc, char* argv[])
{
    return apps::Run(argc, argv, "textpoll", &textpoll::Load);
}
