#include "bytepoll/bytepoll.h"

int main(int argc, char* argv[])
{
    return apps::Run(argc, argv, "bytepoll", &bytepoll::Load);
}
