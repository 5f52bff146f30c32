// HTTP request streams, built from the pieces clients send (and get wrong), read by the
// request parser whole and again in pieces of sizes the input chooses: both readings
// report the same requests and the same error, and the parser keeps its calling contract.
// Each target the parser reports maps to a path that cannot climb out of the served root.
#include <algorithm>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "FuzzSupport.h"
#include "HttpRequestTarget.h"
#include "support/HttpRequestFeed.h"

namespace {

const char* const kMethods[] = {"GET", "HEAD", "POST", "get", "G@T", "", "OPTIONS"};
const char* const kTargets[] = {"/",    "/a/b.html", "/%2e%2e/x",  "/a/../b",
                                "/%00", "/a%2Fb/%2", "/./a//b?q",  "http://h/x",
                                "*",    "/%41%zz",   "/a/%2e/b#f", "//a/.."};
const char* const kVersions[] = {"HTTP/1.1", "HTTP/1.0", "HTTP/2.0", "HTTP/1.1 ", "http/1.1", ""};
const char* const kFields[] = {"Host: h",
                               "Host: a\r\nHost: b",
                               "Content-Length: 5",
                               "Content-Length: 18446744073709551616",
                               "Content-Length: -1",
                               "Content-Length: 3, 3",
                               "Transfer-Encoding: chunked",
                               "Connection: close",
                               "Connection: Keep-Alive",
                               " folded",
                               "NoColon",
                               "Bad Name: x",
                               "X: \x7f",
                               "Content-Length: 2\r\nContent-Length: 3"};
const char* const kEnds[] = {"\r\n", "\n", "\r", ""};

template <size_t N>
const char* Pick(FuzzInput& input, const char* const (&choices)[N]) {
    return choices[input.Below(N)];
}

// A stream of requests, some sound and some not, with bodies and stray bytes between.
std::string Stream(FuzzInput& input) {
    std::string stream;
    const uint32_t requests = 1 + input.Below(4);
    for (uint32_t r = 0; r < requests && !input.Empty(); ++r) {
        const char* end = input.Below(4) == 0 ? Pick(input, kEnds) : "\r\n";
        stream += std::string(Pick(input, kMethods)) + " " + Pick(input, kTargets) + " " +
                  Pick(input, kVersions) + end;
        for (uint32_t f = input.Below(4); f > 0; --f)
            stream += std::string(Pick(input, kFields)) + end;
        stream += end;
        const uint32_t extra = input.Below(4);
        if (extra == 1) stream += std::string(input.Below(8), 'b');
        if (extra == 2) stream += input.Bytes(16);
    }
    return stream;
}

void CheckPath(const std::string& target) {
    std::string path;
    const int status = RequestTargetToPath(target, &path);
    FUZZ_CHECK(status == 0 || status == 400);
    if (status != 0) return;
    FUZZ_CHECK(path.find('\0') == std::string::npos);
    FUZZ_CHECK(path.empty() || (path.front() != '/' && path.back() != '/'));
    size_t start = 0;
    while (!path.empty() && start <= path.size()) {
        size_t end = std::min(path.find('/', start), path.size());
        const std::string segment = path.substr(start, end - start);
        FUZZ_CHECK(!segment.empty() && segment != "." && segment != "..");
        start = end + 1;
    }
}

// The parser's report of one request or error: a status it may answer, a version it
// speaks, a body within the bound, a target that maps to a path without climbing.
void CheckOutcome(const HttpOutcome& outcome) {
    if (outcome.fError != 0) {
        const int status = outcome.fError;
        FUZZ_CHECK(status == 400 || status == 413 || status == 431 || status == 501 ||
                   status == 505);
        return;
    }
    FUZZ_CHECK(outcome.fMinorVersion <= 1);
    FUZZ_CHECK(outcome.fContentLength <= HttpRequestParser::kMostBodyBytes);
    CheckPath(outcome.fTarget);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const std::string stream = Stream(input);
    std::vector<size_t> pieces;
    while (!input.Empty())
        pieces.push_back(1 + input.Below(24));
    const std::vector<HttpOutcome> whole = FeedHttpRequests(stream, {});
    FUZZ_CHECK(FeedHttpRequests(stream, pieces) == whole);
    for (const HttpOutcome& outcome : whole)
        CheckOutcome(outcome);
    return 0;
}
