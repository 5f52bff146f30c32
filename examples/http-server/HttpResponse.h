// What the server answers with: status lines, the head of a response, the media type of a
// file by its extension, and the short bodies of error answers.
#pragma once

#include <cstdint>
#include <string_view>

struct HttpResponseHead {
    int fStatus = 200;
    std::string_view fContentType;
    uint64_t fContentLength = 0;
    bool fKeepAlive = true;
    bool fAllowHeader = false;  // names the methods served (with 405)
};

// The longest head FormatResponseHead writes.
constexpr uint32_t kMostResponseHeadBytes = 512;

// Writes the status line and header fields, ending in the empty line, into buffer (at least
// kMostResponseHeadBytes long); the length written.
uint32_t FormatResponseHead(const HttpResponseHead& head, char* buffer);

// "Not Found" for 404 and so on; "Unknown" for a status the server does not answer with.
const char* ReasonPhrase(int status);

// By the file name's extension; application/octet-stream for any other.
std::string_view ContentTypeFor(std::string_view fileName);

// The body of an error answer, "404 Not Found\n" say: plain text, at most 64 bytes.
std::string_view ErrorBody(int status);
