// The interface table, loaded from made-up interface lists. (The machine's own list,
// longer than one small buffer holds, is read in UDPMulticastTest.)

#include <cstring>

#include "SocketUtils.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"

namespace {

using Platform::InterfaceListStatus;
using enum Platform::InterfaceListStatus;
using Reports = std::vector<std::string>;

constexpr uint32_t kLan = 0xC0A8010A;    // 192.168.1.10
constexpr uint32_t kNamed = 0x0A010203;  // the one address the made-up name service knows

std::vector<uint32_t> sListed;  // host byte order
InterfaceListStatus sStatus = kListed;

InterfaceListStatus MadeUpList(std::vector<uint32_t>* addresses) {
    for (uint32_t address : sListed)
        addresses->push_back(Platform::HostToNetwork32(address));
    return sStatus;
}

bool MadeUpLookUp(uint32_t networkAddress, char* name, uint32_t size) {
    if (networkAddress == Platform::HostToNetwork32(kNamed)) strncpy(name, "gateway.example", size);
    return networkAddress == Platform::HostToNetwork32(kNamed);
}

std::string Dotted(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

// Loads the table from a made-up list, never from the machine's, whose source is put back.
void Load(std::vector<uint32_t> addresses, InterfaceListStatus status, bool lookUpNames = false) {
    sListed = std::move(addresses);
    sStatus = status;
    const auto previous = SocketUtils::SetInterfaceSource({MadeUpList, MadeUpLookUp});
    SocketUtils::LoadInterfaces(lookUpNames);
    SocketUtils::SetInterfaceSource(previous);
}

// The rows run in turn: a failed list must leave the table of the row before.
TEST(InterfaceTable, RecordsKeepTheListedOrderButLoopbackFirstGoesSecondFailuresKeepThem) {
    const struct {
        std::vector<uint32_t> fListed;
        InterfaceListStatus fStatus;
        std::vector<uint32_t> fTable;
        Reports fReport;
    } cases[] = {
        {{kLoopbackAddress, kLan}, kListed, {kLan, kLoopbackAddress}, {}},
        {{kLan, kLoopbackAddress}, kListed, {kLan, kLoopbackAddress}, {}},
        {{kNamed}, kListFailed, {kLan, kLoopbackAddress}, {AssertText("SocketUtils", 188)}},
        {{kNamed}, kNoProbeSocket, {kLan, kLoopbackAddress}, {}},
        {{kLoopbackAddress}, kListed, {kLoopbackAddress}, {}},
        {{kNamed}, kPartialRecord, {kNamed}, {AssertText("SocketUtils", 192)}},  // whole ones used
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(Dotted(test.fListed[0]) + " first of " + std::to_string(test.fListed.size()));
        ReportedAsserts reported;
        Load(test.fListed, test.fStatus);
        EXPECT_EQ(reported.Take(), test.fReport);
        ASSERT_EQ(SocketUtils::GetInterfaceCount(), test.fTable.size());
        for (uint32_t i = 0; i < test.fTable.size(); ++i) {
            EXPECT_EQ(SocketUtils::GetInterfaceAddress(i), test.fTable[i]);
            EXPECT_EQ(Text(SocketUtils::GetInterfaceAddressText(i)), Dotted(test.fTable[i]));
            // Without look-ups the name is a copy of the text.
            EXPECT_EQ(Text(SocketUtils::GetInterfaceHostName(i)), Dotted(test.fTable[i]));
        }
        EXPECT_TRUE(SocketUtils::IsLocalAddress(test.fTable.back()));
    }
    ReportedAsserts reported;  // an index past the end
    EXPECT_EQ(SocketUtils::GetInterfaceAddress(1), 0u);
    EXPECT_EQ(SocketUtils::GetInterfaceAddressText(1), nullptr);
    EXPECT_EQ(SocketUtils::GetInterfaceHostName(1), nullptr);
    EXPECT_EQ(reported.Take(),
              (Reports{AssertText("SocketUtils", 103), AssertText("SocketUtils", 110),
                       AssertText("SocketUtils", 117)}));
    Load({kNamed, kLan}, kListed, /*lookUpNames=*/true);
    EXPECT_EQ(Text(SocketUtils::GetInterfaceHostName(0)), "gateway.example");
    EXPECT_EQ(Text(SocketUtils::GetInterfaceHostName(1)), "192.168.1.10");  // none found
}

}  // namespace
