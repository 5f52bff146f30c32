#include "HttpRequestParser.h"

#include <algorithm>

namespace {

// Empty lines tolerated before a request line (a client may end a body with one).
constexpr uint32_t kMostBlankBytes = 64;

bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '!':
        case '#':
        case '$':
        case '%':
        case '&':
        case '\'':
        case '*':
        case '+':
        case '-':
        case '.':
        case '^':
        case '_':
        case '`':
        case '|':
        case '~':
            return true;
        default:
            return false;
    }
}

bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

bool IsControl(char c) {
    return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Decimal digits only; a value past the body bound is kept as just past it.
bool ReadLength(std::string_view text, uint64_t* length) {
    if (text.empty()) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = std::min<uint64_t>(value * 10 + uint64_t(c - '0'),
                                   HttpRequestParser::kMostBodyBytes + 1);
    }
    *length = value;
    return true;
}

}  // namespace

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

HttpRequestParser::Result HttpRequestParser::Fail(int status) {
    fState = State::kFailed;
    fErrorStatus = status;
    return Result::kError;
}

HttpRequestParser::Result HttpRequestParser::Parse(const char* data, size_t length,
                                                   size_t* consumed) {
    *consumed = 0;
    if (fState == State::kFailed) return Result::kError;
    if (fReported) {
        // The reported request's views point into fHead: it is reused only now.
        fReported = false;
        fBodyLeft = fRequest.fContentLength;
        fRequest = HttpRequest();
        fHeadLength = 0;
        fLineStart = 0;
        fBlankBytes = 0;
        fState = fBodyLeft > 0 ? State::kBody : State::kHead;
    }
    size_t used = 0;
    if (fState == State::kBody) {
        const size_t skip = size_t(std::min<uint64_t>(fBodyLeft, length));
        used = skip;
        fBodyLeft -= skip;
        if (fBodyLeft > 0) {
            *consumed = used;
            return Result::kNeedMore;
        }
        fState = State::kHead;
    }
    while (used < length) {
        const char c = data[used++];
        if (fHeadLength == 0 && (c == '\r' || c == '\n')) {
            if (++fBlankBytes > kMostBlankBytes) {
                *consumed = used;
                return Fail(400);
            }
            continue;
        }
        if (fHeadLength == kMostHeadBytes) {
            *consumed = used;
            return Fail(431);
        }
        fHead[fHeadLength++] = c;
        if (c != '\n') continue;
        const uint32_t lineLength = fHeadLength - 1 - fLineStart;
        const bool empty = lineLength == 0 || (lineLength == 1 && fHead[fLineStart] == '\r');
        fLineStart = fHeadLength;
        if (!empty) continue;
        *consumed = used;
        const int status = ReadHead();
        if (status != 0) return Fail(status);
        fReported = true;
        return Result::kRequest;
    }
    *consumed = used;
    return Result::kNeedMore;
}

int HttpRequestParser::ReadHead() {
    std::string_view rest(fHead, fHeadLength);
    bool first = true;
    HeadFields fields;
    for (;;) {
        const size_t end = rest.find('\n');  // the head ends in an empty line: always found
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        if (std::any_of(line.begin(), line.end(), [](char c) { return c == '\r'; })) return 400;
        if (first) {
            first = false;
            const int status = ReadRequestLine(line);
            if (status != 0) return status;
            continue;
        }
        const int status = ReadHeaderField(line, &fields);
        if (status != 0) return status;
    }
    if (fRequest.fMinorVersion == 1 && !fields.fHost) return 400;
    // A body framed otherwise than by its length cannot be skipped yet.
    if (fields.fTransferEncoding) return 501;
    if (fRequest.fContentLength > kMostBodyBytes) return 413;
    fRequest.fKeepAlive =
        fRequest.fMinorVersion == 1 ? !fields.fClose : fields.fKeepAlive && !fields.fClose;
    return 0;
}

int HttpRequestParser::ReadRequestLine(std::string_view line) {
    if (std::any_of(line.begin(), line.end(), IsControl)) return 400;
    const size_t methodEnd = line.find(' ');
    if (methodEnd == std::string_view::npos) return 400;
    const size_t targetEnd = line.find(' ', methodEnd + 1);
    if (targetEnd == std::string_view::npos) return 400;
    fRequest.fMethod = line.substr(0, methodEnd);
    fRequest.fTarget = line.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    const std::string_view version = line.substr(targetEnd + 1);
    if (!IsToken(fRequest.fMethod) || fRequest.fTarget.empty()) return 400;
    for (char c : fRequest.fTarget)
        if (c <= ' ' || static_cast<unsigned char>(c) >= 0x7F) return 400;
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
        version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
        return 400;
    if (version[5] != '1') return 505;
    // A later 1.x is answered as 1.1, which it must understand.
    fRequest.fMinorVersion = version[7] == '0' ? 0 : 1;
    return 0;
}

int HttpRequestParser::ReadHeaderField(std::string_view line, HeadFields* fields) {
    // A line folded onto the one before is obsolete, and a way to smuggle fields.
    if (line.front() == ' ' || line.front() == '\t') return 400;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return 400;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = Trim(line.substr(colon + 1));
    if (!IsToken(name) || std::any_of(value.begin(), value.end(), IsControl)) return 400;
    if (SameLetters(name, "Host")) {
        if (fields->fHost) return 400;
        fields->fHost = true;
        fRequest.fHost = value;
    } else if (SameLetters(name, "Content-Length")) {
        uint64_t length = 0;
        if (!ReadLength(value, &length)) return 400;
        if (fields->fLength && length != fRequest.fContentLength) return 400;
        fields->fLength = true;
        fRequest.fContentLength = length;
    } else if (SameLetters(name, "Connection")) {
        std::string_view options = value;
        while (!options.empty()) {
            const size_t comma = options.find(',');
            const std::string_view option = Trim(options.substr(0, comma));
            if (SameLetters(option, "close")) fields->fClose = true;
            if (SameLetters(option, "keep-alive")) fields->fKeepAlive = true;
            if (comma == std::string_view::npos) break;
            options.remove_prefix(comma + 1);
        }
    } else if (SameLetters(name, "Transfer-Encoding")) {
        fields->fTransferEncoding = true;
    }
    return 0;
}
