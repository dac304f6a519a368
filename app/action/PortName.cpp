#include "app/action/PortName.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

bool FitPortName(const std::string& typed, std::string* fitted) {
    if (typed.size() < kPortNameField) {
        *fitted = typed;
        return true;
    }
    char resolved[PATH_MAX];
    if (realpath(typed.c_str(), resolved) == nullptr)
        return false;
    std::string path = resolved;
    if (path.size() >= kPortNameField)
        return false;
    *fitted = path;
    return true;
}

void NoteResolvedPortName(const std::string& typed, const std::string& device) {
    fflush(stdout); // after the prompt when both streams share a file
    fprintf(stderr, "kvfwdn: %s: longer than 99 characters, taken as %s\n", typed.c_str(),
            device.c_str());
}
