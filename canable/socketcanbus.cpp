#include "backend.h"

#include <cstdio>

namespace canable {

std::unique_ptr<Backend> openSocketCan(const std::string &interfaceName, unsigned int kbps)
{
    std::fprintf(stderr, "canable: cannot open %s at %u kbit/s: no SocketCAN support yet\n",
                 interfaceName.empty() ? "a CAN interface" : interfaceName.c_str(), kbps);
    return nullptr;
}

} // namespace canable
