// The one table of each keyword setting, the ranges of the numbers, and the multicast address
// test: what the reader, the dialogue and the diagnostics all lean on.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "core/Settings.h"

namespace {

// The word as written, in small letters, and in alternating case.
std::vector<std::string> spellingsOf(const std::string& word) {
  std::string lower = word;
  std::string mixed = word;
  for (std::size_t i = 0; i < word.size(); ++i) {
    lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(word[i])));
    if (i % 2 == 0) mixed[i] = lower[i];
  }
  return {word, lower, mixed};
}

// Every spelling of each word reads as its value, and the value's name is the word.
template <typename Value>
void expectRoundTrip(SettingReading<Value> (*read)(const char*),
                     const char* (*nameOf)(std::int32_t),
                     std::initializer_list<std::pair<const char*, std::int32_t>> table) {
  for (const auto& [word, value] : table) {
    for (const std::string& spelling : spellingsOf(word)) {
      const SettingReading<Value> reading = read(spelling.c_str());
      EXPECT_TRUE(reading.ok()) << spelling;
      EXPECT_EQ(reading.value, value) << spelling;
    }
    EXPECT_STREQ(nameOf(value), word);
  }
}

TEST(SettingsTest, SecurityWordsAndValuesRoundTripInAnyCase) {
  expectRoundTrip(&Settings::readSecurityLevel, &Settings::securityLevelName,
                  {{"FREEFORALL", 1}, {"LOGIN", 2}, {"SECURE", 3}});
  EXPECT_STREQ(Settings::securityLevelList(), "FREEFORALL, LOGIN, SECURE");
}

// The values are the time-to-live each scope puts on the wire.
TEST(SettingsTest, ScopeWordsAndValuesRoundTripInAnyCase) {
  expectRoundTrip(&Settings::readMulticastTtl, &Settings::multicastTtlName,
                  {{"HOST", 0},
                   {"SUBNET", 1},
                   {"SITE", 32},
                   {"REGION", 64},
                   {"CONTINENT", 128},
                   {"UNLIMITED", 255}});
  EXPECT_STREQ(Settings::multicastTtlList(), "HOST, SUBNET, SITE, REGION, CONTINENT, UNLIMITED");
}

TEST(SettingsTest, UnknownWordsReadAsTheFallbackAndSayWhy) {
  // No security level falls back to another: a typo must never turn passwords off.
  for (const char* word : {"", "SECUR", "SECURES", "SECURE ", "3", "whatever", "LOGN"}) {
    const SettingReading<SecurityLevel> reading = Settings::readSecurityLevel(word);
    EXPECT_EQ(reading.problem, SettingProblem::UnknownWord) << word;
    EXPECT_EQ(reading.value, SECURITY_UNSET) << word;
    EXPECT_EQ(Settings::securityLevelName(reading.value), nullptr) << word;
  }
  for (const char* word : {"", "64", "REGIONAL", "galaxy"}) {
    const SettingReading<MulticastScope> reading = Settings::readMulticastTtl(word);
    EXPECT_EQ(reading.problem, SettingProblem::UnknownWord) << word;
    EXPECT_EQ(reading.value, REGION) << word;
  }
  EXPECT_TRUE(Settings::readHostCheck("true").ok());
  EXPECT_EQ(Settings::readHostCheck("True").value, 1);
  EXPECT_TRUE(Settings::readHostCheck("FALSE").ok());
  EXPECT_EQ(Settings::readHostCheck("false").value, 0);
  EXPECT_EQ(Settings::readHostCheck("yes").problem, SettingProblem::UnknownWord);
  EXPECT_EQ(Settings::readHostCheck("1").value, 0);
}

TEST(SettingsTest, ValuesOutsideTheTablesHaveNoName) {
  for (std::int32_t level : {0, 4, 7, -1}) EXPECT_EQ(Settings::securityLevelName(level), nullptr);
  for (std::int32_t ttl : {2, 31, 63, 254, 256, -1}) {
    EXPECT_EQ(Settings::multicastTtlName(ttl), nullptr) << ttl;
  }
}

TEST(SettingsTest, EveryRangeHoldsItsEndsAndNothingBeyond) {
  const struct {
    NumberRange range;
    std::int64_t lowest, highest;
  } kRanges[] = {{Settings::kPort, 1024, 65535},
                 {Settings::kCapacity, 0, 1000},
                 {Settings::kUserLimit, 2, 25},
                 {Settings::kLoginTimeout, 0, INT32_MAX}};
  for (const auto& each : kRanges) {
    for (std::int64_t inside : {each.lowest, each.highest}) {
      const std::string text = std::to_string(inside);
      EXPECT_TRUE(Settings::readNumber(text.c_str(), each.range).ok()) << text;
    }
    for (std::int64_t outside : {each.lowest - 1, each.highest + 1}) {
      const std::string text = std::to_string(outside);
      const SettingReading<std::int64_t> reading = Settings::readNumber(text.c_str(), each.range);
      EXPECT_EQ(reading.problem, SettingProblem::OutOfRange) << text;
      EXPECT_EQ(reading.value, outside) << text;  // the reader still gets the number as written
    }
  }
  EXPECT_EQ(Settings::kLoginTimeout.clamp(-5), 0);
  EXPECT_EQ(Settings::kLoginTimeout.clamp(99999999999), INT32_MAX);
  EXPECT_EQ(Settings::kLoginTimeout.clamp(60), 60);
}

TEST(SettingsTest, NumbersAreReadLikeTheCLibraryButNeverWrapIntoRange) {
  for (const char* text : {"", "port", "-", "+x", " \t"}) {
    const SettingReading<std::int64_t> reading = Settings::readNumber(text, Settings::kPort);
    EXPECT_EQ(reading.problem, SettingProblem::NotANumber) << text;
    EXPECT_EQ(reading.value, 0) << text;
  }
  EXPECT_EQ(Settings::readNumber("  +1500abc", Settings::kPort).value, 1500);
  EXPECT_TRUE(Settings::readNumber("  +1500abc", Settings::kPort).ok());
  EXPECT_TRUE(Settings::readNumber("000000000000000000000001025", Settings::kPort).ok());
  EXPECT_EQ(Settings::readNumber("-0", Settings::kCapacity).problem, SettingProblem::None);
  // 2^64 + 1024 wraps to 1024 as the C library reads it: the reader's value, but out of range.
  const SettingReading<std::int64_t> wrapped =
      Settings::readNumber("18446744073709552640", Settings::kPort);
  EXPECT_EQ(wrapped.value, 1024);
  EXPECT_EQ(wrapped.problem, SettingProblem::OutOfRange);
}

TEST(SettingsTest, ListenAddressesAreFourDecimalPartsAndNothingElse) {
  for (const char* good : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "192.0.2.10"}) {
    EXPECT_EQ(Settings::checkListenAddress(good), SettingProblem::None) << good;
  }
  // The classic short, hexadecimal and octal forms would reach clients as the server's address
  // in a form other programs read otherwise ("010" is 8 to the system).
  for (const char* bad : {"127.1", "0x7f.0.0.1", "127.0.0.010", "256.0.0.1", "1.2.3.4.5",
                          "1.2.3.", ".1.2.3", "1..2.3", "1.2.3.4 ", "-1.2.3.4", "localhost",
                          "1.2.3.1000"}) {
    EXPECT_EQ(Settings::checkListenAddress(bad), SettingProblem::NotAnAddress) << bad;
  }
  EXPECT_EQ(Settings::checkListenAddress(""), SettingProblem::Missing);
  EXPECT_EQ(Settings::checkListenAddress("192.168.100.2000"), SettingProblem::TooLong);
}

TEST(SettingsTest, MulticastAddressesAreTheClassDRangeWrittenAlone) {
  for (const char* good : {"224.0.0.0", "239.255.255.255", "239.1.2.3", "239.001.001.001", "0xef.1",
                           "0357.0.0.1", "239.65535"}) {
    EXPECT_EQ(Settings::checkMulticastAddress(good), SettingProblem::None) << good;
  }
  for (const char* bad : {"223.255.255.255", "240.0.0.0", "255.255.255.255", "239.9.9.9 junk",
                          " 239.9.9.9", "239.1.2.3.4", "localhost"}) {
    EXPECT_EQ(Settings::checkMulticastAddress(bad), SettingProblem::NotMulticast) << bad;
  }
  EXPECT_EQ(Settings::checkMulticastAddress(""), SettingProblem::Missing);
  EXPECT_EQ(Settings::checkMulticastAddress(nullptr), SettingProblem::Missing);
  // Sixteen characters would be cut into another address by the field.
  EXPECT_EQ(Settings::checkMulticastAddress("239.001.001.0001"), SettingProblem::TooLong);
  EXPECT_TRUE(Settings::isMulticastAddress("239.001.001.0001"));
}

TEST(SettingsTest, HostNamesBeginWithALetter) {
  for (const char* name : {"localhost", "Zeta", "a1"}) EXPECT_TRUE(Settings::isHostName(name));
  for (const char* text : {"", "1host", "239.1.2.3", "-host", " host"}) {
    EXPECT_FALSE(Settings::isHostName(text)) << text;
  }
}

}  // namespace
