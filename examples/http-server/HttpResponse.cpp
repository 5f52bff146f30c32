#include "HttpResponse.h"

#include "HttpRequestParser.h"

#include <cstdio>
#include <ctime>

namespace {

struct StatusText {
    int fStatus;
    const char* fReason;
    const char* fBody;
};

const StatusText kStatusTexts[] = {
    {200, "OK", ""},
    {400, "Bad Request", "400 Bad Request\n"},
    {403, "Forbidden", "403 Forbidden\n"},
    {404, "Not Found", "404 Not Found\n"},
    {405, "Method Not Allowed", "405 Method Not Allowed\n"},
    {413, "Content Too Large", "413 Content Too Large\n"},
    {431, "Request Header Fields Too Large", "431 Request Header Fields Too Large\n"},
    {500, "Internal Server Error", "500 Internal Server Error\n"},
    {501, "Not Implemented", "501 Not Implemented\n"},
    {505, "HTTP Version Not Supported", "505 HTTP Version Not Supported\n"},
};

struct MediaType {
    const char* fExtension;
    const char* fType;
};

const MediaType kMediaTypes[] = {
    {"html", "text/html; charset=utf-8"},
    {"htm", "text/html; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"},
    {"json", "application/json"},
    {"txt", "text/plain; charset=utf-8"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"svg", "image/svg+xml"},
    {"ico", "image/x-icon"},
    {"wasm", "application/wasm"},
};

const StatusText* Find(int status) {
    for (const StatusText& text : kStatusTexts)
        if (text.fStatus == status) return &text;
    return nullptr;
}

}  // namespace

const char* ReasonPhrase(int status) {
    const StatusText* text = Find(status);
    return text != nullptr ? text->fReason : "Unknown";
}

std::string_view ErrorBody(int status) {
    const StatusText* text = Find(status);
    return text != nullptr ? text->fBody : "error\n";
}

std::string_view ContentTypeFor(std::string_view fileName) {
    const size_t dot = fileName.rfind('.');
    const size_t slash = fileName.rfind('/');
    if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) {
        const std::string_view extension = fileName.substr(dot + 1);
        for (const MediaType& type : kMediaTypes)
            if (SameLetters(extension, type.fExtension)) return type.fType;
    }
    return "application/octet-stream";
}

uint32_t FormatResponseHead(const HttpResponseHead& head, char* buffer) {
    char date[64];
    const time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S GMT", &utc);
    // The content type is one of the table's, so the head stays within the bound.
    const std::string_view type = head.fContentType.substr(0, 64);
    const int length = std::snprintf(
        buffer, kMostResponseHeadBytes,
        "HTTP/1.1 %d %s\r\nDate: %s\r\nContent-Type: %.*s\r\nContent-Length: %llu\r\n%s%s\r\n",
        head.fStatus, ReasonPhrase(head.fStatus), date, int(type.size()), type.data(),
        (unsigned long long)head.fContentLength, head.fAllowHeader ? "Allow: GET, HEAD\r\n" : "",
        head.fKeepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n");
    return length < 0 ? 0 : uint32_t(length);
}
