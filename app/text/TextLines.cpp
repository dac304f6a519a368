#include "app/text/TextLines.h"

std::vector<std::string> TrimmedLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        size_t first = text.find_first_not_of(' ', start);
        size_t last = text.find_last_not_of(' ', end == 0 ? 0 : end - 1);
        if (first != std::string::npos && first < end && last != std::string::npos)
            lines.push_back(text.substr(first, last - first + 1));
        start = end + 1;
    }
    return lines;
}

std::string JoinedMessage(const std::string& text) {
    std::string joined;
    for (const std::string& line : TrimmedLines(text))
        joined += (joined.empty() ? "" : " ") + line;
    return joined;
}
