#include "HttpSite.h"

std::string_view BuiltInPage() {
    static constexpr std::string_view kPage =
        "<!DOCTYPE html>\n"
        "<html>\n"
        "<head><meta charset=\"utf-8\"><title>http-server</title></head>\n"
        "<body>\n"
        "<h1>http-server</h1>\n"
        "<p>It works. Start the server with <code>--root DIR</code> to serve the files of a "
        "directory.</p>\n"
        "</body>\n"
        "</html>\n";
    return kPage;
}
