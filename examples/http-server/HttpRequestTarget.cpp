#include "HttpRequestTarget.h"

#include "HttpRequestParser.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int RequestTargetToPath(std::string_view target, std::string* path) {
    // The absolute form names this server too; only its path matters here.
    if (SameLetters(target.substr(0, 7), "http://")) {
        target.remove_prefix(7);
        const size_t slash = target.find('/');
        target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
    if (target.empty() || target.front() != '/') return 400;
    target = target.substr(0, target.find_first_of("?#"));
    std::string decoded;
    decoded.reserve(target.size());
    for (size_t i = 0; i < target.size(); ++i) {
        if (target[i] != '%') {
            decoded += target[i];
            continue;
        }
        if (i + 2 >= target.size()) return 400;
        const int high = HexValue(target[i + 1]);
        const int low = HexValue(target[i + 2]);
        if (high < 0 || low < 0) return 400;
        const char c = char(high * 16 + low);
        if (c == '\0') return 400;
        decoded += c;
        i += 2;
    }
    path->clear();
    size_t start = 0;
    while (start <= decoded.size()) {
        size_t end = decoded.find('/', start);
        if (end == std::string::npos) end = decoded.size();
        const std::string_view segment(decoded.data() + start, end - start);
        start = end + 1;
        if (segment.empty() || segment == ".") continue;
        if (segment == "..") return 400;
        if (!path->empty()) *path += '/';
        *path += segment;
    }
    return 0;
}
