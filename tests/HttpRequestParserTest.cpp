// The HTTP request parser, fed whole, split at every byte and a byte at a time (each piece
// in a buffer of its exact size, so a read past the input is caught by the sanitizers),
// and the request target's mapping to a path under the root.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HttpRequestParser.h"
#include "HttpRequestTarget.h"
#include "support/HttpRequestFeed.h"

// Global, beside the type, where the test framework's printer looks for it.
static std::ostream& operator<<(std::ostream& out, const HttpOutcome& outcome) {
    return out << "{" << outcome.fMethod << " " << outcome.fTarget << " 1." << outcome.fMinorVersion
               << (outcome.fKeepAlive ? " keep-alive" : " close") << " length "
               << outcome.fContentLength << " error " << outcome.fError << "}";
}

namespace {

using Result = HttpRequestParser::Result;
using Outcome = HttpOutcome;

constexpr auto& Feed = FeedHttpRequests;

// The outcomes of the whole stream at once, checked to be the same however it is split:
// in two at every byte, and a byte at a time.
std::vector<Outcome> FeedEveryWay(const std::string& stream) {
    const std::vector<Outcome> whole = Feed(stream, {});
    for (size_t split = 1; split < stream.size(); ++split)
        EXPECT_EQ(Feed(stream, {split}), whole) << "split at " << split;
    EXPECT_EQ(Feed(stream, std::vector<size_t>(stream.size(), 1)), whole) << "byte by byte";
    return whole;
}

Outcome Failure(int status) {
    return {"", "", 0, false, 0, status};
}

Outcome Request(const char* method, const char* target, uint32_t minor, bool keepAlive,
                uint64_t length = 0) {
    return {method, target, minor, keepAlive, length, 0};
}

TEST(HttpRequestParser, GoodRequestsAreReadHoweverTheyAreSplit) {
    const struct {
        std::string fStream;
        Outcome fExpected;
    } kCases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", Request("GET", "/", 1, true)},
        {"HEAD /x.css HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n\r\n",
         Request("HEAD", "/x.css", 1, true)},
        {"GET /a?b=c HTTP/1.0\r\n\r\n", Request("GET", "/a?b=c", 0, false)},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", Request("GET", "/", 0, true)},
        {"GET / HTTP/1.1\r\nHost: a\r\nConnection: upgrade, close\r\n\r\n",
         Request("GET", "/", 1, false)},
        {"GET / HTTP/1.0\r\nConnection: keep-alive, close\r\n\r\n", Request("GET", "/", 0, false)},
        // Bare line feeds, blank lines before the request, spaces around values.
        {"GET /lf HTTP/1.1\nHost: a\n\n", Request("GET", "/lf", 1, true)},
        {"\r\n\r\nGET / HTTP/1.1\r\nhost:a\r\n\r\n", Request("GET", "/", 1, true)},
        {"GET / HTTP/1.1\r\nHost: a\r\ncontent-length:  0 \t\r\n\r\n",
         Request("GET", "/", 1, true)},
        // A later 1.x is answered as 1.1; methods the server refuses are still requests.
        {"GET / HTTP/1.7\r\nHost: a\r\n\r\n", Request("GET", "/", 1, true)},
        {"DELETE /f HTTP/1.1\r\nHost: a\r\n\r\n", Request("DELETE", "/f", 1, true)},
        {"GET http://a/b HTTP/1.1\r\nHost: a\r\n\r\n", Request("GET", "http://a/b", 1, true)},
    };
    for (const auto& test : kCases) {
        SCOPED_TRACE(test.fStream);
        EXPECT_EQ(FeedEveryWay(test.fStream), std::vector<Outcome>{test.fExpected});
    }
}

TEST(HttpRequestParser, PipelinedRequestsAndTheirBodiesComeOutInOrder) {
    const std::string stream =
        "GET /one HTTP/1.1\r\nHost: a\r\n\r\n"
        "POST /two HTTP/1.1\r\nHost: a\r\nContent-Length: 11\r\n\r\nGET /nope\r\n"
        "HEAD /three HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\n\r\n"
        "GET /four HTTP/1.0\r\n\r\n";
    const std::vector<Outcome> expected = {
        Request("GET", "/one", 1, true), Request("POST", "/two", 1, true, 11),
        Request("HEAD", "/three", 1, true, 2), Request("GET", "/four", 0, false)};
    EXPECT_EQ(FeedEveryWay(stream), expected);
    // Uneven pieces that end inside heads, bodies and line ends.
    EXPECT_EQ(Feed(stream, {3, 40, 7, 29, 1, 60, 2}), expected);
    // A body that has not all come yet holds the next request back.
    EXPECT_EQ(Feed("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 100\r\n\r\nshort", {}),
              std::vector<Outcome>{Request("POST", "/", 1, true, 100)});
}

TEST(HttpRequestParser, MalformedOversizedAndUnsupportedRequestsEndTheStream) {
    const std::string big(HttpRequestParser::kMostHeadBytes, 'x');
    const struct {
        std::string fStream;
        int fStatus;
    } kCases[] = {
        {"GET /\r\n\r\n", 400},
        {"GET  / HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET / HTTP/1.1 \r\nHost: a\r\n\r\n", 400},
        {"GET /a b HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"G(T / HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET / http/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET / HTTP/1.x\r\nHost: a\r\n\r\n", 400},
        {"GET / HTTP/2.0\r\nHost: a\r\n\r\n", 505},
        {std::string("GET /\0 HTTP/1.1\r\nHost: a\r\n\r\n", 28), 400},
        {"GET / HTTP/1.1\r\n\r\n", 400},                        // no Host
        {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},  // two
        {"GET / HTTP/1.1\r\nHost : a\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\nNo colon\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\nX: \x01\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 1x\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1048577\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999999999999999999\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\nHost: a\r\ntransfer-encoding: gzip\r\nContent-Length: 3\r\n\r\n", 501},
        {"GET / HTTP/1.1\r\nHost: a\r\nX: " + big + "\r\n\r\n", 431},
        {"GET /" + big, 431},  // a request line that never ends
        {std::string(100, '\n'), 400},
    };
    for (const auto& test : kCases) {
        SCOPED_TRACE(test.fStream.substr(0, 60));
        // FeedEveryWay is too slow for the oversized ones; those are fed in a few ways.
        const std::vector<Outcome> outcomes = test.fStream.size() < 200
                                                  ? FeedEveryWay(test.fStream)
                                                  : Feed(test.fStream, {1, 100, 4000, 1});
        EXPECT_EQ(outcomes, std::vector<Outcome>{Failure(test.fStatus)});
        if (test.fStream.size() >= 200) {
            EXPECT_EQ(Feed(test.fStream, {}), outcomes);
        }
    }
    // A head of exactly the bound is still read; and once failed, the parser stays failed.
    const std::string head = "GET / HTTP/1.1\r\nHost: a\r\nX: ";
    const std::string fits =
        head + std::string(HttpRequestParser::kMostHeadBytes - head.size() - 4, 'y') + "\r\n\r\n";
    EXPECT_EQ(Feed(fits, {}), std::vector<Outcome>{Request("GET", "/", 1, true)});
    HttpRequestParser parser;
    size_t used = 0;
    EXPECT_EQ(parser.Parse("BAD\r\n\r\n", 7, &used), Result::kError);
    EXPECT_EQ(parser.Parse("GET / HTTP/1.0\r\n\r\n", 18, &used), Result::kError);
    EXPECT_EQ(parser.ErrorStatus(), 400);
}

TEST(HttpRequestTarget, PathsStayUnderTheRootWhateverTheEncoding) {
    const struct {
        const char* fTarget;
        int fStatus;
        const char* fPath;
    } kCases[] = {
        {"/", 0, ""},
        {"/index.html", 0, "index.html"},
        {"/a//b/./c.txt", 0, "a/b/c.txt"},
        {"/a%20b/%41.js?x=../..#top", 0, "a b/A.js"},
        {"/a%2Fb", 0, "a/b"},
        {"http://host:8080/x/y", 0, "x/y"},
        {"HTTP://host", 0, ""},
        {"/..", 400, ""},
        {"/a/../b", 400, ""},
        {"/a/..", 400, ""},
        {"/%2e%2e/etc/passwd", 400, ""},
        {"/%2E%2e%2Fetc%2fpasswd", 400, ""},
        {"/a%2f..%2f..%2fetc", 400, ""},
        {"/.%2e/", 400, ""},
        {"/..%5c..", 0, "..\\.."},  // one name on a POSIX file system, not a way up
        {"/%00", 400, ""},
        {"/a%zz", 400, ""},
        {"/a%2", 400, ""},
        {"/a%", 400, ""},
        {"a/b", 400, ""},
        {"*", 400, ""},
        {"http://host/..", 400, ""},
    };
    for (const auto& test : kCases) {
        SCOPED_TRACE(test.fTarget);
        std::string path = "unchanged";
        EXPECT_EQ(RequestTargetToPath(test.fTarget, &path), test.fStatus);
        if (test.fStatus == 0) {
            EXPECT_EQ(path, test.fPath);
        }
    }
}

}  // namespace
