// Feeds a byte stream to a fresh HTTP request parser in pieces of chosen sizes, each piece in
// a buffer of exactly its size (so the sanitizers see a read past it), and says what the
// parser reported. Shared by the parser's suite and its fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HttpRequestParser.h"

// What the parser reported for one request, or the error that ended the stream.
struct HttpOutcome {
    static constexpr int kBrokeContract = -1;  // took more than given, or stopped short

    std::string fMethod{};
    std::string fTarget{};
    uint32_t fMinorVersion = 0;
    bool fKeepAlive = false;
    uint64_t fContentLength = 0;
    int fError = 0;  // the error status, or kBrokeContract

    bool operator==(const HttpOutcome&) const = default;
};

// The pieces have the given sizes, the rest of the stream making one last piece. A parser
// that breaks its calling contract ends the list with a kBrokeContract outcome.
inline std::vector<HttpOutcome> FeedHttpRequests(const std::string& stream,
                                                 const std::vector<size_t>& sizes) {
    HttpRequestParser parser;
    std::vector<HttpOutcome> outcomes;
    size_t offset = 0;
    for (size_t piece = 0; offset < stream.size(); ++piece) {
        const size_t size =
            std::min(piece < sizes.size() ? sizes[piece] : stream.size(), stream.size() - offset);
        const std::unique_ptr<char[]> bytes(new char[size]);
        std::copy_n(stream.data() + offset, size, bytes.get());
        offset += size;
        for (size_t at = 0;;) {
            size_t used = 0;
            const HttpRequestParser::Result result =
                parser.Parse(bytes.get() + at, size - at, &used);
            const bool tookTooMuch = used > size - at;
            at += used;
            if (tookTooMuch || (result == HttpRequestParser::Result::kNeedMore && at != size)) {
                outcomes.push_back({.fError = HttpOutcome::kBrokeContract});
                return outcomes;
            }
            if (result == HttpRequestParser::Result::kError) {
                outcomes.push_back({.fError = parser.ErrorStatus()});
                return outcomes;
            }
            if (result == HttpRequestParser::Result::kNeedMore) break;
            const HttpRequest& request = parser.Request();
            outcomes.push_back({std::string(request.fMethod), std::string(request.fTarget),
                                request.fMinorVersion, request.fKeepAlive, request.fContentLength,
                                0});
        }
    }
    return outcomes;
}
