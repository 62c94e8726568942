// lampgw: the street-lighting gateway daemon. No arguments, no environment:
// every place it touches is the board's production description.
#include "runtime/main.h"

int main()
{
    return gateway_main();
}
