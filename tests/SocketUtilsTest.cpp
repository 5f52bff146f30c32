// The interface table, on made-up interface lists, and the address helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "SocketUtils.h"
#include "support/TestSupport.h"

namespace {

using Platform::InterfaceListStatus;

uint32_t Network(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return Platform::HostToNetwork32(uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d);
}

std::vector<uint32_t> sFakeAddresses;
InterfaceListStatus sFakeStatus = InterfaceListStatus::kListed;
uint32_t sNamedAddress = 0;  // the one address the fake name service knows

InterfaceListStatus FakeList(std::vector<uint32_t>* addresses) {
    *addresses = sFakeAddresses;
    return sFakeStatus;
}

bool FakeLookUp(uint32_t networkAddress, char* name, uint32_t size) {
    if (networkAddress != sNamedAddress) return false;
    strncpy(name, "gateway.example", size);
    return true;
}

// Loads the table from a made-up list, never from the machine.
class InterfaceTable : public testing::Test {
protected:
    void SetUp() override {
        fPrevious = SocketUtils::SetInterfaceSource({FakeList, FakeLookUp});
        sFakeStatus = InterfaceListStatus::kListed;
        sNamedAddress = 0;
        AssertRecorder::Instance().Take();
    }
    void TearDown() override { SocketUtils::SetInterfaceSource(fPrevious); }

    static void Load(std::vector<uint32_t> addresses, bool lookUpNames = false) {
        sFakeAddresses = std::move(addresses);
        SocketUtils::LoadInterfaces(lookUpNames);
    }
    static std::string Text(uint32_t index) {
        const StrPtrLen* text = SocketUtils::GetInterfaceAddressText(index);
        return std::string(text->fPtr, text->fLen);
    }
    static std::string Name(uint32_t index) {
        const StrPtrLen* name = SocketUtils::GetInterfaceHostName(index);
        return std::string(name->fPtr, name->fLen);
    }

    SocketUtils::InterfaceSource fPrevious{};
};

TEST_F(InterfaceTable, LoopbackReportedFirstMovesToSecond) {
    Load({Network(127, 0, 0, 1), Network(192, 168, 1, 10)});
    ASSERT_EQ(SocketUtils::GetInterfaceCount(), 2u);
    EXPECT_EQ(Text(0), "192.168.1.10");
    EXPECT_EQ(Name(0), "192.168.1.10");
    EXPECT_EQ(SocketUtils::GetInterfaceAddress(0), 0xC0A8010Au);
    EXPECT_EQ(Text(1), "127.0.0.1");
    EXPECT_EQ(Name(1), "127.0.0.1");
    EXPECT_EQ(SocketUtils::GetInterfaceAddress(1), 0x7F000001u);
}

TEST_F(InterfaceTable, OtherOrdersStayAsReported) {
    Load({Network(192, 168, 1, 10), Network(127, 0, 0, 1)});
    EXPECT_EQ(Text(0), "192.168.1.10");
    EXPECT_EQ(Text(1), "127.0.0.1");
    Load({Network(127, 0, 0, 1)});
    ASSERT_EQ(SocketUtils::GetInterfaceCount(), 1u);
    EXPECT_EQ(Text(0), "127.0.0.1");
    Load({Network(10, 0, 0, 1), Network(127, 0, 0, 1), Network(10, 0, 0, 2)});
    EXPECT_EQ(Text(1), "127.0.0.1");  // loopback elsewhere than first stays put
}

TEST_F(InterfaceTable, HostNamesAreLookedUpOnlyWhenAskedAndFallBackToTheText) {
    sNamedAddress = Network(10, 1, 2, 3);
    Load({Network(10, 1, 2, 3), Network(10, 1, 2, 4)}, /*lookUpNames=*/true);
    EXPECT_EQ(Name(0), "gateway.example");
    EXPECT_EQ(Name(1), "10.1.2.4");
    Load({Network(10, 1, 2, 3)}, /*lookUpNames=*/false);
    EXPECT_EQ(Name(0), "10.1.2.3");
    // Separate buffers, each NUL-terminated.
    EXPECT_NE(SocketUtils::GetInterfaceHostName(0)->fPtr,
              SocketUtils::GetInterfaceAddressText(0)->fPtr);
    EXPECT_EQ(SocketUtils::GetInterfaceHostName(0)->fPtr[8], '\0');
}

TEST_F(InterfaceTable, LongListsAreReadWhole) {
    std::vector<uint32_t> many;
    for (uint8_t i = 1; i <= 40; ++i)
        many.push_back(Network(10, 0, 1, i));
    Load(many);
    ASSERT_EQ(SocketUtils::GetInterfaceCount(), 40u);
    EXPECT_EQ(Text(39), "10.0.1.40");
    EXPECT_TRUE(SocketUtils::IsLocalAddress(0x0A000128));
}

TEST_F(InterfaceTable, ListFailuresAreReported) {
    Load({Network(10, 9, 9, 9)});
    sFakeStatus = InterfaceListStatus::kListFailed;
    Load({Network(10, 0, 0, 1)});
    auto texts = AssertRecorder::Instance().Take();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "_Assert: SocketUtils, 188");
    EXPECT_EQ(Text(0), "10.9.9.9");  // the table in place is kept

    sFakeStatus = InterfaceListStatus::kPartialRecord;
    Load({Network(10, 0, 0, 1)});
    texts = AssertRecorder::Instance().Take();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "_Assert: SocketUtils, 192");
    EXPECT_EQ(Text(0), "10.0.0.1");  // the whole records are used
}

TEST_F(InterfaceTable, AccessorsOutOfRangeAssertAndReturnNothing) {
    Load({Network(10, 0, 0, 1)});
    EXPECT_EQ(SocketUtils::GetInterfaceAddress(5), 0u);
    EXPECT_EQ(SocketUtils::GetInterfaceAddressText(5), nullptr);
    EXPECT_EQ(SocketUtils::GetInterfaceHostName(5), nullptr);
    const auto texts = AssertRecorder::Instance().Take();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "_Assert: SocketUtils, 103");
    EXPECT_EQ(texts[1], "_Assert: SocketUtils, 110");
    EXPECT_EQ(texts[2], "_Assert: SocketUtils, 117");
}

TEST(SocketUtils, MulticastRange) {
    EXPECT_TRUE(SocketUtils::IsMulticastAddress(0xE0000000));   // 224.0.0.0
    EXPECT_TRUE(SocketUtils::IsMulticastAddress(0xEFFFFFFF));   // 239.255.255.255
    EXPECT_FALSE(SocketUtils::IsMulticastAddress(0xDFFFFFFF));  // 223.255.255.255
    EXPECT_FALSE(SocketUtils::IsMulticastAddress(0xF0000000));  // 240.0.0.0
}

TEST(SocketUtils, TextConversions) {
    EXPECT_EQ(SocketUtils::StringToAddress("10.0.0.1"), 0x0A000001u);
    EXPECT_EQ(SocketUtils::StringToAddress("not an address"), 0xFFFFFFFFu);
    EXPECT_EQ(SocketUtils::StringToAddress("255.255.255.255"), 0xFFFFFFFFu);
    const uint32_t address = Network(192, 168, 1, 10);
    char buffer[16];
    StrPtrLen out(buffer, 0);
    SocketUtils::AddressToString(&address, &out);
    EXPECT_EQ(out.fLen, 12u);
    EXPECT_EQ(std::string(buffer), "192.168.1.10");
}

TEST(SocketUtils, TheMachinesTableHoldsLoopback) {
    SocketUtils::LoadInterfaces(false);
    ASSERT_GE(SocketUtils::GetInterfaceCount(), 1u);
    EXPECT_TRUE(SocketUtils::IsLocalAddress(0x7F000001));
    EXPECT_FALSE(SocketUtils::IsLocalAddress(0));
}

}  // namespace
