#include "kvsim/KvsimFiles.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <unistd.h>

bool KvsimParseFaults(const std::string& list, const std::vector<std::string>& known,
                      const std::string& what, std::vector<std::string>* faults,
                      std::string* error) {
    std::vector<std::string> parsed;
    std::stringstream in(list);
    std::string fault;
    while (std::getline(in, fault, ',')) {
        if (fault.empty() || fault == "none")
            continue;
        if (std::find(known.begin(), known.end(), fault) == known.end()) {
            *error = "unknown " + what + " fault \"" + fault + "\"";
            return false;
        }
        parsed.push_back(fault);
    }
    *faults = parsed;
    return true;
}

std::string KvsimFaultText(const std::vector<std::string>& faults) {
    if (faults.empty())
        return "none";
    std::string text;
    for (const std::string& fault : faults)
        text += (text.empty() ? "" : ",") + fault;
    return text;
}

bool KvsimWriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = bytes.empty() || fwrite(bytes.data(), bytes.size(), 1, file) == 1;
    return fclose(file) == 0 && ok;
}

bool KvsimSaveFlash(std::vector<unsigned char> flash, const std::string& path) {
    size_t used = flash.size();
    while (used > 0 && flash[used - 1] == 0xFF)
        --used;
    flash.resize(used);
    return KvsimWriteFile(path, flash);
}

std::vector<unsigned char> KvsimSampleImage(size_t size, unsigned seed, const std::string& marker) {
    std::vector<unsigned char> image(size);
    unsigned value = seed;
    for (unsigned char& byte : image) {
        value = value * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(value >> 16);
    }
    const size_t at = 32;
    if (at + marker.size() <= size)
        std::copy(marker.begin(), marker.end(), image.begin() + at);
    return image;
}

void KvsimRemoveLink(const std::string& link, const std::string& target) {
    char points[256];
    ssize_t n = readlink(link.c_str(), points, sizeof(points) - 1);
    if (n <= 0)
        return;
    points[n] = '\0';
    if (target == points)
        unlink(link.c_str());
}
