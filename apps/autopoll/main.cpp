#include "autopoll/autopoll.h"

int main(int argc, char* argv[])
{
    return apps::Run(argc, argv, "autopoll", &autopoll::Load);
}
