// The interface table, loaded from made-up interface lists, and the address helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "SocketUtils.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"

namespace {

using Platform::InterfaceListStatus;

constexpr uint32_t kLan = 0xC0A8010A;  // 192.168.1.10

std::vector<uint32_t> sListed;  // network byte order
InterfaceListStatus sStatus = InterfaceListStatus::kListed;
uint32_t sNamedAddress = 0;  // the one address the made-up name service knows

InterfaceListStatus MadeUpList(std::vector<uint32_t>* addresses) {
    *addresses = sListed;
    return sStatus;
}

bool MadeUpLookUp(uint32_t networkAddress, char* name, uint32_t size) {
    if (networkAddress != sNamedAddress) return false;
    strncpy(name, "gateway.example", size);
    return true;
}

std::string Dotted(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

// Loads the table from a made-up list, never from the machine.
class InterfaceTable : public testing::Test {
protected:
    void SetUp() override {
        fPrevious = SocketUtils::SetInterfaceSource({MadeUpList, MadeUpLookUp});
    }
    void TearDown() override {
        sStatus = InterfaceListStatus::kListed;
        SocketUtils::SetInterfaceSource(fPrevious);
    }
    static void Load(const std::vector<uint32_t>& hostOrder, bool lookUpNames = false) {
        sListed.clear();
        for (uint32_t address : hostOrder)
            sListed.push_back(Platform::HostToNetwork32(address));
        SocketUtils::LoadInterfaces(lookUpNames);
    }

    SocketUtils::InterfaceSource fPrevious{};
};

TEST_F(InterfaceTable, RecordsKeepTheListedOrderButLoopbackListedFirstGoesSecond) {
    std::vector<uint32_t> many;  // more than one small list buffer of the platform holds
    for (uint32_t i = 1; i <= 40; ++i)
        many.push_back(0x0A000100 + i);
    const struct {
        std::vector<uint32_t> fListed;
        std::vector<uint32_t> fTable;
    } cases[] = {
        {{kLoopbackAddress, kLan}, {kLan, kLoopbackAddress}},
        {{kLan, kLoopbackAddress}, {kLan, kLoopbackAddress}},
        {{kLoopbackAddress}, {kLoopbackAddress}},
        {{0x0A000001, kLoopbackAddress, kLoopbackAddress + 1},
         {0x0A000001, kLoopbackAddress, kLoopbackAddress + 1}},
        {many, many},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(Dotted(test.fListed[0]) + ", " + std::to_string(test.fListed.size()));
        Load(test.fListed);
        ASSERT_EQ(SocketUtils::GetInterfaceCount(), test.fTable.size());
        for (uint32_t i = 0; i < test.fTable.size(); ++i) {
            EXPECT_EQ(SocketUtils::GetInterfaceAddress(i), test.fTable[i]);
            EXPECT_EQ(Text(SocketUtils::GetInterfaceAddressText(i)), Dotted(test.fTable[i]));
            // Without look-ups the name is a copy of the text, in a buffer of its own.
            EXPECT_EQ(Text(SocketUtils::GetInterfaceHostName(i)), Dotted(test.fTable[i]));
            EXPECT_NE(SocketUtils::GetInterfaceHostName(i)->fPtr,
                      SocketUtils::GetInterfaceAddressText(i)->fPtr);
        }
        EXPECT_TRUE(SocketUtils::IsLocalAddress(test.fTable.back()));
    }
}

TEST_F(InterfaceTable, HostNamesAreLookedUpOnlyWhenAskedAndFallBackToTheText) {
    sNamedAddress = Platform::HostToNetwork32(0x0A010203);
    Load({0x0A010203, 0x0A010204}, /*lookUpNames=*/true);
    EXPECT_EQ(Text(SocketUtils::GetInterfaceHostName(0)), "gateway.example");
    EXPECT_EQ(Text(SocketUtils::GetInterfaceHostName(1)), "10.1.2.4");
    Load({0x0A010203}, /*lookUpNames=*/false);
    EXPECT_EQ(Text(SocketUtils::GetInterfaceHostName(0)), "10.1.2.3");
    EXPECT_EQ(SocketUtils::GetInterfaceHostName(0)->fPtr[8], '\0');
}

TEST_F(InterfaceTable, AFailedListIsReportedAndKeepsTheTableAPartialOneIsUsed) {
    const struct {
        InterfaceListStatus fStatus;
        std::vector<std::string> fReport;
        const char* fFirst;
    } cases[] = {
        {InterfaceListStatus::kListFailed, {AssertText("SocketUtils", 188)}, "10.9.9.9"},
        {InterfaceListStatus::kNoProbeSocket, {}, "10.9.9.9"},
        {InterfaceListStatus::kPartialRecord, {AssertText("SocketUtils", 192)}, "10.0.0.1"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.fFirst);
        Load({0x0A090909});
        sStatus = test.fStatus;
        ReportedAsserts reported;
        Load({0x0A000001});
        sStatus = InterfaceListStatus::kListed;
        EXPECT_EQ(reported.Take(), test.fReport);
        EXPECT_EQ(Text(SocketUtils::GetInterfaceAddressText(0)), test.fFirst);
    }
}

TEST_F(InterfaceTable, AccessorsOutOfRangeReportAndReturnNothing) {
    Load({0x0A000001});
    ReportedAsserts reported;
    EXPECT_EQ(SocketUtils::GetInterfaceAddress(1), 0u);
    EXPECT_EQ(SocketUtils::GetInterfaceAddressText(1), nullptr);
    EXPECT_EQ(SocketUtils::GetInterfaceHostName(1), nullptr);
    EXPECT_EQ(reported.Take(), (std::vector<std::string>{AssertText("SocketUtils", 103),
                                                         AssertText("SocketUtils", 110),
                                                         AssertText("SocketUtils", 117)}));
}

TEST(SocketUtils, AddressHelpers) {
    for (const auto& [address, multicast] : {std::pair{0xE0000000u, true},
                                             {0xEFFFFFFFu, true},
                                             {0xDFFFFFFFu, false},
                                             {0xF0000000u, false}})
        EXPECT_EQ(bool(SocketUtils::IsMulticastAddress(address)), multicast) << Dotted(address);
    EXPECT_EQ(SocketUtils::StringToAddress("10.0.0.1"), 0x0A000001u);
    EXPECT_EQ(SocketUtils::StringToAddress("not an address"), 0xFFFFFFFFu);
    const uint32_t address = Platform::HostToNetwork32(kLan);
    char buffer[16];
    StrPtrLen out(buffer, 0);
    SocketUtils::AddressToString(&address, &out);
    EXPECT_EQ(Text(&out), "192.168.1.10");
    EXPECT_EQ(buffer[12], '\0');
}

TEST(SocketUtils, TheMachinesTableHoldsLoopback) {
    SocketUtils::LoadInterfaces(false);
    EXPECT_TRUE(SocketUtils::IsLocalAddress(kLoopbackAddress));
    EXPECT_FALSE(SocketUtils::IsLocalAddress(0));
}

}  // namespace
