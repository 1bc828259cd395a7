#include "support/ScriptedSocksPeer.h"

std::string PortBytes(uint16_t port)
{
    std::string out(2, '\0');
    out[0] = static_cast<char>(port >> 8);
    out[1] = static_cast<char>(port & 0xff);
    return out;
}
