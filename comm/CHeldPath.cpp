#include "CHeldPath.h"

std::string CHeldPath::Below(int folder, const std::string& name) {
    return "/proc/self/fd/" + std::to_string(folder) + "/" + name;
}
