// Address text read and written back, from a buffer of exactly the text's length, so that a
// read past it shows under AddressSanitizer.
#include <memory>
#include <string_view>

#include "NetAddress.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"

namespace {

using Rule = NetAddress::PortRule;

struct Case {
    std::string_view fText;
    const char* fWritten;           // with its port; null: refused
    const char* fAsIPv4 = nullptr;  // with kMappedAsIPv4 too, where that differs
    Rule fRule = Rule::kOptional;
};

const Case kCases[] = {
    {"127.0.0.1:80", "127.0.0.1:80"},
    {"0.0.0.0", "0.0.0.0:0"},
    {"255.255.255.255:65535", "255.255.255.255:65535"},
    {"[::1]:8080", "[::1]:8080"},
    {"::1", "[::1]:0"},
    {"[::]", "[::]:0"},
    {"::1:80", "[::1:80]:0"},  // bare IPv6 text takes no port
    {"[fe80::1%2]:5000", "[fe80::1%2]:5000"},
    {"FE80:0:0:0:0:0:0:00A%4294967295", "[fe80::a%4294967295]:0"},
    {"[fe80:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295]:65535",  // the longest
     "[fe80:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295]:65535"},
    {"ff02::1%3", "[ff02::1%3]:0"},
    {"2001:0db8:0000:0000:0000:0000:0002:0001", "[2001:db8::2:1]:0"},
    {"2001:db8:0:0:1:0:0:1", "[2001:db8::1:0:0:1]:0"},     // the first of equal runs
    {"1:0:0:2:0:0:0:3", "[1:0:0:2::3]:0"},                 // the longest run
    {"2001:db8:0:1:1:1:1:1", "[2001:db8:0:1:1:1:1:1]:0"},  // one zero group stays
    {"1::", "[1::]:0"},
    {"[::ffff:1.2.3.4]:443", "[::ffff:1.2.3.4]:443", "1.2.3.4:443"},
    {"::FFFF:0102:0304", "[::ffff:1.2.3.4]:0", "1.2.3.4:0"},
    {"::1.2.3.4", "[::102:304]:0"},
    {"", nullptr},
    {"1.2.3", nullptr},
    {"1.2.3.4.5", nullptr},
    {"256.1.1.1", nullptr},
    {"01.2.3.4", nullptr},
    {"1.2.3.4:", nullptr},
    {"1.2.3.4:65536", nullptr},
    {"1.2.3.4:+80", nullptr},
    {"1.2.3.4%1", nullptr},
    {"[1.2.3.4]:80", nullptr},
    {"[::1", nullptr},
    {"[::1]80", nullptr},
    {"[::1]:", nullptr},
    {"[]", nullptr},
    {"1:2:3:4:5:6:7", nullptr},
    {"1:2:3:4:5:6:7:8:9", nullptr},
    {"1:2:3:4:5:6:7:8::", nullptr},
    {"1::2::3", nullptr},
    {":1::", nullptr},
    {"1:::2", nullptr},
    {"12345::", nullptr},
    {"g::", nullptr},
    {"::1.2.3", nullptr},
    {"1:2:3:4:5:6:7:1.2.3.4", nullptr},
    {"fe80::1%", nullptr},
    {"fe80::1%x", nullptr},
    {"fe80::1%4294967296", nullptr},
    {"2001:db8::1%2", nullptr},  // a scope on an address that takes none
    {"[::1%1]:80", nullptr},
    {"127.0.0.1", nullptr, nullptr, Rule::kRequired},
    {"[::1]", nullptr, nullptr, Rule::kRequired},
};

NetAddress ParseExactly(std::string_view text, Rule rule, int32_t* error) {
    std::unique_ptr<char[]> bytes(new char[text.size()]);
    text.copy(bytes.get(), text.size());
    NetAddress address;
    *error = NetAddress::Parse(bytes.get(), uint32_t(text.size()), &address, rule);
    return address;
}

TEST(NetAddress, TextIsReadWrittenCanonicallyAndReadBackOrRefused) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.fText));
        int32_t error;
        const NetAddress address = ParseExactly(c.fText, c.fRule, &error);
        if (c.fWritten == nullptr) {
            EXPECT_EQ(error, kErrBadAddress);
            continue;
        }
        ASSERT_EQ(error, 0);
        const std::string written = Text(address);
        EXPECT_EQ(written, c.fWritten);
        EXPECT_EQ(ParseExactly(written, Rule::kRequired, &error), address);
        EXPECT_EQ(Text(address, NetAddress::kWithPort | NetAddress::kMappedAsIPv4),
                  c.fAsIPv4 != nullptr ? c.fAsIPv4 : c.fWritten);
    }
}

TEST(NetAddress, AddressesMeetTheirSocketFormAndTextThatDoesNotFitIsNotWritten) {
    NetAddress mapped;
    ASSERT_EQ(NetAddress::Parse(StrPtrLen(const_cast<char*>("[::ffff:127.0.0.1]:7")), &mapped), 0);
    EXPECT_EQ(mapped.Unmapped(), NetAddress::IPv4(0x7F000001, 7));
    Platform::SocketAddressStorage storage;
    for (const NetAddress& address : {NetAddress::IPv4(0x7F000001, 7), mapped}) {
        address.ToSocketAddress(&storage);
        EXPECT_EQ(NetAddress::FromSocketAddress(storage), address);
    }
    NetAddress::UnmapSocketAddress(&storage);
    EXPECT_EQ(NetAddress::FromSocketAddress(storage), NetAddress::IPv4(0x7F000001, 7));
    char small[12] = "untouched";
    EXPECT_EQ(mapped.ToText(small, sizeof(small)), 0u);
    EXPECT_STREQ(small, "");
}

}  // namespace
