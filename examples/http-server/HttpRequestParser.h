// Reads HTTP/1.x requests from a byte stream, incrementally: bytes are handed over as they
// arrive, split anywhere, and the parser says when a request's head is complete. It keeps
// the head (at most kMostHeadBytes) in its own buffer, so the caller's bytes need not stay,
// and never looks past the bytes it is given. A body announced by Content-Length is skipped
// by the calls after the request is reported; one with Transfer-Encoding is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Equal but for the case of ASCII letters, as HTTP compares names and tokens.
bool SameLetters(std::string_view a, std::string_view b);

struct HttpRequest {
    std::string_view fMethod;
    std::string_view fTarget;
    std::string_view fHost;
    uint32_t fMinorVersion = 1;  // HTTP/1.0 or HTTP/1.1
    bool fKeepAlive = true;      // what the version and Connection say
    uint64_t fContentLength = 0;
};

class HttpRequestParser {
public:
    static constexpr uint32_t kMostHeadBytes = 8 * 1024;
    static constexpr uint64_t kMostBodyBytes = 1024 * 1024;

    enum class Result {
        kNeedMore,  // every byte given was taken; more are needed
        kRequest,   // a head is complete: Request() until the next call
        kError,     // the stream cannot be read on: answer ErrorStatus() and close
    };

    // Takes bytes from the front of data and says how many (*consumed). After kRequest the
    // bytes left over are the start of the body or the next request. After kError every
    // later call answers kError again.
    Result Parse(const char* data, size_t length, size_t* consumed);

    const HttpRequest& Request() const { return fRequest; }
    // The status to answer a kError with: 400, 413, 431, 501 or 505.
    int ErrorStatus() const { return fErrorStatus; }

private:
    enum class State { kHead, kBody, kFailed };
    // The fields of one head that decide how it is read.
    struct HeadFields {
        bool fHost = false;
        bool fLength = false;
        bool fTransferEncoding = false;
        bool fClose = false;
        bool fKeepAlive = false;
    };

    Result Fail(int status);
    // Fills fRequest from the complete head in fHead; 0 or the error status.
    int ReadHead();
    int ReadRequestLine(std::string_view line);
    int ReadHeaderField(std::string_view line, HeadFields* fields);

    State fState = State::kHead;
    bool fReported = false;  // a request was reported: the next call starts after it
    uint64_t fBodyLeft = 0;  // body bytes still to skip
    uint32_t fHeadLength = 0;
    uint32_t fLineStart = 0;   // where the line being collected starts in fHead
    uint32_t fBlankBytes = 0;  // empty lines skipped before a request line
    int fErrorStatus = 0;
    HttpRequest fRequest;
    char fHead[kMostHeadBytes];
};
