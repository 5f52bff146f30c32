// NetAddress's text: read and written here rather than by the platform, whose readers
// differ (in what they accept, in the scope, in the port), so that both platforms agree.
#include <cstdio>
#include <cstring>

#include "NetAddress.h"

namespace {

// The text still to read: [fNext, fEnd). Nothing is ever read at or past fEnd.
struct Reader {
    const char* fNext;
    const char* fEnd;

    bool AtEnd() const { return fNext == fEnd; }
    bool Take(char c) {
        if (AtEnd() || *fNext != c) return false;
        ++fNext;
        return true;
    }
    // Up to `most` decimal digits as a number no greater than `limit`; false when there is
    // no digit, more than `most`, or the number is too great.
    bool Decimal(uint32_t most, uint64_t limit, uint64_t* value) {
        uint32_t digits = 0;
        *value = 0;
        while (!AtEnd() && *fNext >= '0' && *fNext <= '9') {
            if (++digits > most) return false;
            *value = *value * 10 + uint32_t(*fNext++ - '0');
        }
        return digits > 0 && *value <= limit;
    }
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four decimal parts of 0 to 255 without leading zeros (which some readers take as octal),
// and nothing after them.
bool ReadIPv4(Reader text, uint8_t* bytes) {
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && !text.Take('.')) return false;
        const char* start = text.fNext;
        uint64_t value;
        if (!text.Decimal(3, 255, &value)) return false;
        if (*start == '0' && text.fNext - start > 1) return false;
        bytes[part] = uint8_t(value);
    }
    return text.AtEnd();
}

// Groups of one to four hex digits, at most one "::" for a run of zero groups, the last
// 32 bits perhaps in IPv4 text; nothing after them.
bool ReadIPv6(Reader text, uint8_t* bytes) {
    uint16_t groups[8] = {};
    int count = 0;
    int gap = -1;  // where "::" stands
    if (text.Take(':')) {
        if (!text.Take(':')) return false;
        gap = 0;
    }
    while (!text.AtEnd()) {
        if (count == 8) return false;
        // A group followed by a dot begins the IPv4 text that ends the address.
        const char* look = text.fNext;
        while (look < text.fEnd && *look != ':' && *look != '.')
            ++look;
        if (look < text.fEnd && *look == '.') {
            if (count > 6 || !ReadIPv4(text, bytes + 12)) return false;
            groups[count++] = uint16_t(bytes[12] << 8 | bytes[13]);
            groups[count++] = uint16_t(bytes[14] << 8 | bytes[15]);
            break;
        }
        uint32_t value = 0;
        int digits = 0;
        for (; !text.AtEnd() && HexValue(*text.fNext) >= 0; ++text.fNext) {
            if (++digits > 4) return false;
            value = value << 4 | uint32_t(HexValue(*text.fNext));
        }
        if (digits == 0) return false;
        groups[count++] = uint16_t(value);
        if (text.AtEnd()) break;
        if (!text.Take(':')) return false;
        if (text.Take(':')) {
            if (gap >= 0) return false;
            gap = count;
        } else if (text.AtEnd()) {
            return false;  // a lone colon at the end
        }
    }
    // "::" stands for one zero group at least; without it all eight are given.
    if (gap < 0 ? count != 8 : count > 7) return false;
    const int zeros = 8 - count;
    uint16_t full[8] = {};
    for (int i = 0; i < count; ++i)
        full[i < gap || gap < 0 ? i : i + zeros] = groups[i];
    for (int i = 0; i < 8; ++i) {
        bytes[2 * i] = uint8_t(full[i] >> 8);
        bytes[2 * i + 1] = uint8_t(full[i]);
    }
    return true;
}

// Link-local unicast (fe80::/10) and multicast of interface- or link-local scope: the
// addresses that name an interface only together with it.
bool TakesScope(const uint8_t* bytes) {
    return (bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80) ||
           (bytes[0] == 0xFF && ((bytes[1] & 0x0F) == 1 || (bytes[1] & 0x0F) == 2));
}

// IPv6 text with an optional numeric scope after '%', on an address that takes one.
bool ReadScopedIPv6(Reader text, uint8_t* bytes, uint32_t* scopeId) {
    const char* percent = static_cast<const char*>(memchr(text.fNext, '%', text.fEnd - text.fNext));
    *scopeId = 0;
    if (percent == nullptr) return ReadIPv6(text, bytes);
    Reader scope{percent + 1, text.fEnd};
    uint64_t value;
    if (!scope.Decimal(10, 0xFFFFFFFFu, &value) || !scope.AtEnd()) return false;
    *scopeId = uint32_t(value);
    return ReadIPv6({text.fNext, percent}, bytes) && TakesScope(bytes);
}

// The text being written; the longest an address makes fits in kTextSize.
struct Writer {
    char fText[NetAddress::kTextSize];
    uint32_t fLength = 0;

    void Add(const char* text) {
        while (*text != '\0')
            fText[fLength++] = *text++;
    }
    void Number(uint32_t value, const char* format) {
        fLength += uint32_t(snprintf(fText + fLength, sizeof(fText) - fLength, format, value));
    }
    void IPv4(const uint8_t* bytes) {
        for (int i = 0; i < 4; ++i)
            Number(bytes[i], i == 0 ? "%u" : ".%u");
    }
    void IPv6(const uint8_t* bytes, bool mapped) {
        uint16_t groups[8];
        for (int i = 0; i < 8; ++i)
            groups[i] = uint16_t(bytes[2 * i] << 8 | bytes[2 * i + 1]);
        // The first longest run of two or more zero groups becomes "::".
        int runStart = -1, runLength = 1;
        for (int i = 0; i < 8;) {
            int j = i;
            while (j < 8 && groups[j] == 0)
                ++j;
            if (j - i > runLength) runStart = i, runLength = j - i;
            i = j > i ? j : i + 1;
        }
        const int end = mapped ? 6 : 8;
        for (int i = 0; i < end; ++i) {
            if (i == runStart) {
                Add(i == 0 ? "::" : ":");
                i += runLength - 1;
                continue;
            }
            Number(groups[i], "%x");
            if (i + 1 < end || mapped) Add(":");
        }
        if (mapped) IPv4(bytes + 12);
    }
};

}  // namespace

int32_t NetAddress::Parse(const char* text, uint32_t length, NetAddress* out, PortRule rule) {
    if (text == nullptr || length == 0) return kErrBadAddress;
    const char* end = text + length;
    Reader address{text, end};
    Reader port{end, end};
    bool hasPort = false;
    bool bracketed = false;
    if (*text == '[') {
        const char* close = static_cast<const char*>(memchr(text, ']', length));
        if (close == nullptr) return kErrBadAddress;
        address = {text + 1, close};
        port = {close + 1, end};
        hasPort = port.Take(':');
        if (!hasPort && !port.AtEnd()) return kErrBadAddress;
        bracketed = true;
    } else if (const char* colon = static_cast<const char*>(memchr(text, ':', length));
               colon != nullptr && memchr(colon + 1, ':', end - colon - 1) == nullptr) {
        address = {text, colon};  // one colon: IPv4 text and a port
        port = {colon + 1, end};
        hasPort = true;
    }
    if (rule == PortRule::kRequired && !hasPort) return kErrBadAddress;
    uint64_t portValue = 0;
    if (hasPort && (!port.Decimal(5, 0xFFFF, &portValue) || !port.AtEnd())) return kErrBadAddress;

    NetAddress result;
    result.fPort = uint16_t(portValue);
    const bool colons = memchr(address.fNext, ':', address.fEnd - address.fNext) != nullptr;
    if (!colons && !bracketed && ReadIPv4(address, result.fBytes)) {
        result.fFamily = Family::kIPv4;
    } else if (colons && ReadScopedIPv6(address, result.fBytes, &result.fScopeId)) {
        result.fFamily = Family::kIPv6;
    } else {
        return kErrBadAddress;
    }
    *out = result;
    return 0;
}

uint32_t NetAddress::ToText(char* buffer, uint32_t size, uint32_t flags) const {
    const bool asIPv4 = fFamily == Family::kIPv4 || (IsIPv4Mapped() && (flags & kMappedAsIPv4));
    const bool withPort = (flags & kWithPort) != 0;
    Writer text;
    if (asIPv4) {
        text.IPv4(fFamily == Family::kIPv4 ? fBytes : fBytes + 12);
    } else if (fFamily == Family::kIPv6) {
        if (withPort) text.Add("[");
        text.IPv6(fBytes, IsIPv4Mapped());
        if (fScopeId != 0) text.Number(fScopeId, "%%%u");
        if (withPort) text.Add("]");
    }
    if (withPort && text.fLength > 0) text.Number(fPort, ":%u");
    const uint32_t length = text.fLength < size ? text.fLength : 0;
    if (size > 0) {
        memcpy(buffer, text.fText, length);
        buffer[length] = '\0';
    }
    return length;
}
