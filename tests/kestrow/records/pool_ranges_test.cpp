// The general page's range checks and the pool values they turn into.
#include "kestrow/config/pool_ranges.h"
#include "kestrow/records/identity_pools.h"

#include <gtest/gtest.h>

namespace kestrow::records {
namespace {

using config::MacRangeFields;
using config::PoolRangeProblem;

constexpr std::size_t kNone = PoolRangeProblem::kNoEntry;
const std::string kPrefix = "AABBCCXXDDEEFFGGHH11223344556677";

template <class Fields>
struct RangeCase {
    const char* what;
    Fields fields;
    std::size_t entry;  // 0: accepted
    const char* message;
};

template <class Fields, std::size_t N>
void ExpectVerdicts(const RangeCase<Fields> (&cases)[N], std::optional<PoolRangeProblem> (*check)(const Fields&)) {
    for (const RangeCase<Fields>& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<PoolRangeProblem> problem = check(c.fields);
        if (c.entry == 0) {
            EXPECT_FALSE(problem) << problem->text;
            continue;
        }
        ASSERT_TRUE(problem);
        EXPECT_EQ(problem->entry, c.entry);
        EXPECT_EQ(problem->text, c.message);
    }
}

TEST(PoolRangeChecks, MacRangeMessages) {
    const RangeCase<MacRangeFields> cases[] = {
        {"a unicast range", {"00:11:22", "AA:00:00", "00:11:22", "AA:FF:FF"}, 0, ""},
        {"lower-case hex is the same range", {"0a:11:22", "aa:00:00", "0A:11:22", "AA:00:00"}, 0, ""},
        {"one address", {"02:00:00", "00:00:01", "02:00:00", "00:00:01"}, 0, ""},
        {"empty start high", {"", "00:00:00", "00:11:22", "FF:FF:FF"}, 261, "Please enter hex. numbers:"},
        {"short start high", {"00:11", "00:00:00", "00:11:22", "FF:FF:FF"}, 263,
         "Word length of MAC start address high-order bit is less than 8!"},
        {"short start low", {"00:11:22", "00:00:0", "00:11:22", "FF:FF:FF"}, 264,
         "Word length of MAC start address low-order bit is less than 8!"},
        {"short end high", {"00:11:22", "00:00:00", "0:11:22", "FF:FF:FF"}, 265,
         "Word length of MAC end address high-order bit is less than 8!"},
        {"short end low", {"00:11:22", "00:00:00", "00:11:22", "FF:FF"}, 266,
         "Word length of MAC end address low-order bit is less than 8!"},
        {"dash instead of colon", {"00-11-22", "00:00:00", "00:11:22", "FF:FF:FF"}, 262,
         "MAC Address format must be 00:00:00!"},
        {"a part too long", {"00:11:22", "00:00:000", "00:11:22", "FF:FF:FF"}, 262,
         "MAC Address format must be 00:00:00!"},
        {"not hex", {"00:11:22", "00:0G:00", "00:11:22", "FF:FF:FF"}, 267,
         "The string includes non-hexadecimal number!"},
        {"high parts differ", {"00:11:22", "00:00:00", "00:11:23", "FF:FF:FF"}, 268,
         "The high-order bit of MAC start address is not the same as end address!"},
        {"start above end", {"00:11:22", "00:01:00", "00:11:22", "00:00:FF"}, 269,
         "The low-order bit of MAC start address is bigger than end address!"},
        {"start above end, other case", {"00:11:22", "0a:00:00", "00:11:22", "09:FF:FF"}, 269,
         "The low-order bit of MAC start address is bigger than end address!"},
        {"multicast (the default 01:02:03)", {"01:02:03", "00:00:00", "01:02:03", "FF:FF:FF"}, 331,
         "The MAC address is multicast address, please modify it."},
        {"multicast bit in a higher digit", {"FF:00:00", "00:00:00", "FF:00:00", "00:00:10"}, 331,
         "The MAC address is multicast address, please modify it."},
        {"all-zero start", {"00:00:00", "00:00:00", "00:00:00", "00:00:FF"}, 332,
         "At least one of the MAC address should be numbers (except 0)."},
    };
    ExpectVerdicts(cases, config::CheckMacRange);
}

TEST(PoolRangeChecks, SerialRangeMessages) {
    const std::string p = kPrefix;
    const std::string tenChars = "ABCDEFGHIJ";
    const RangeCase<config::SerialRangeFields> cases[] = {
        {"the default prefix", {p, "000000", p, "999999"}, 0, ""},
        {"short start prefix", {p.substr(1), "000000", p, "999999"}, 270,
         "Word length of serial number start address high-order bit is less than 32!"},
        {"long start prefix", {p + "X", "000000", p + "X", "999999"}, kNone,
         "Word length of serial number start address high-order bit is more than 32!"},
        {"blank in the prefix", {"AABBCCXXDDEEFFGGHH 1223344556677", "000000", p, "999999"}, kNone,
         "The serial number start prefix may only hold printable ASCII characters without blanks!"},
        {"short start low", {p, "00000", p, "999999"}, 271,
         "Word length of serial number start address low-order bit is less than 6!"},
        {"long start low", {p, "0000000", p, "999999"}, kNone,
         "Word length of serial number start address low-order bit is more than 6!"},
        {"hex start low", {p, "00000A", p, "999999"}, kNone,
         "The low-order bit of serial number start address must be decimal digits!"},
        {"end prefix under 10", {p, "000000", "ABCDEFGHI", "999999"}, 272,
         "Word length of serial number end address high-order bit is less than 10!"},
        {"short end low", {p, "000000", p, "99999"}, 273,
         "Word length of serial number end address low-order bit is less than 6!"},
        {"prefixes differ", {p, "000000", tenChars, "999999"}, 274,
         "The high-order bit of serial number start address is not the same as end address!"},
        {"start above end", {p, "000100", p, "000099"}, 275,
         "The low-order bit of serial number start address is bigger than end address!"},
    };
    ExpectVerdicts(cases, config::CheckSerialRange);
}

TEST(PoolRangeChecks, BluetoothRangeMessages) {
    const RangeCase<config::BluetoothRangeFields> cases[] = {
        {"the default range", {"44A6E6000000", "44A6E6FFFFFF"}, 0, ""},
        {"empty end", {"44A6E6000000", ""}, 261, "Please enter hex. numbers:"},
        {"eleven digits", {"44A6E600000", "44A6E6FFFFFF"}, 365, "Bluetooth address length error"},
        {"not hex", {"44A6E600000Z", "44A6E6FFFFFF"}, 267, "The string includes non-hexadecimal number!"},
        {"start above end", {"44A6E6000010", "44a6e600000f"}, 364, "Bluetooth address is bigger than end address"},
    };
    ExpectVerdicts(cases, config::CheckBluetoothRange);
}

TEST(PoolRangeChecks, WholeAddressesSplitIntoThePagesFields) {
    MacRangeFields f = config::MacFieldsFromAddresses("00:11:22:AA:00:00", "00:11:22:AA:FF:FF");
    EXPECT_EQ(f.start_high, "00:11:22");
    EXPECT_EQ(f.start_low, "AA:00:00");
    EXPECT_EQ(f.end_high, "00:11:22");
    EXPECT_EQ(f.end_low, "AA:FF:FF");
    // A malformed address is reported by its format, not taken apart wrongly.
    std::optional<PoolRangeProblem> problem =
        config::CheckMacRange(config::MacFieldsFromAddresses("00:11:22-AA:00:00", "00:11:22:AA:FF:FF"));
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->entry, 262u);
    problem = config::CheckMacRange(config::MacFieldsFromAddresses("00:11:22:AA:00", "00:11:22:AA:FF:FF"));
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->entry, 264u);
}

TEST(PoolValues, TextFormsOfTheThreePools) {
    EXPECT_EQ(FormatMac(0x001122AA0005ULL), "00:11:22:AA:00:05");
    EXPECT_EQ(MacHighText(0x001122AA0005ULL), "00:11:22");
    EXPECT_EQ(MacLowText(0x001122AA0005ULL), "AA:00:05");
    EXPECT_EQ(ParseMac("00:11:22:aa:00:05"), 0x001122AA0005ULL);
    EXPECT_FALSE(ParseMac("00:11:22:AA:00:5"));
    EXPECT_FALSE(ParseMac("00-11-22-AA-00-05"));
    EXPECT_EQ(FormatSerial(kPrefix, 42), kPrefix + "000042");
    EXPECT_EQ(ParsePoolValue(PoolKind::Serial, kPrefix, kPrefix + "000042"), 42u);
    EXPECT_FALSE(ParsePoolValue(PoolKind::Serial, kPrefix, "X" + kPrefix.substr(1) + "000042"));
    EXPECT_EQ(FormatBluetooth(0x44A6E600000FULL), "44A6E600000F");
    EXPECT_EQ(ParseBluetooth("44a6e600000f"), 0x44A6E600000FULL);
}

TEST(PoolValues, RangesFromFieldsAndBackThroughTheSameChecks) {
    PoolRange mac;
    EXPECT_FALSE(MacRangeFromFields({"00:11:22", "aa:00:00", "00:11:22", "AA:FF:FF"}, mac));
    EXPECT_EQ(mac.start, 0x001122AA0000ULL);
    EXPECT_EQ(mac.end, 0x001122AAFFFFULL);
    EXPECT_FALSE(CheckPoolRange(mac));

    PoolRange serial;
    EXPECT_FALSE(SerialRangeFromFields({kPrefix, "000010", kPrefix, "000020"}, serial));
    EXPECT_EQ(serial.prefix, kPrefix);
    EXPECT_EQ(serial.start, 10u);
    EXPECT_EQ(serial.end, 20u);

    // Values a front could pass without fields get the same verdicts.
    std::optional<config::PoolRangeProblem> multicast = CheckPoolRange({PoolKind::Mac, "", 0x010203000000ULL, 0x0102030000FFULL});
    ASSERT_TRUE(multicast);
    EXPECT_EQ(multicast->entry, 331u);
    std::optional<config::PoolRangeProblem> backwards = CheckPoolRange({PoolKind::Bluetooth, "", 20, 10});
    ASSERT_TRUE(backwards);
    EXPECT_EQ(backwards->entry, 364u);
    std::optional<config::PoolRangeProblem> huge = CheckPoolRange({PoolKind::Serial, kPrefix, 0, 1000000});
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->text, "The serial number range lies beyond the largest value such a pool can hold!");
}

}  // namespace
}  // namespace kestrow::records
