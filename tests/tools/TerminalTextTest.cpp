// What msgclient lets through to the terminal from bytes that came over the network.
#include <gtest/gtest.h>

#include <string>

#include "TerminalText.h"

namespace {

using msgclient::TerminalText;

class TerminalTextTest : public ::testing::Test {};

TEST_F(TerminalTextTest, PrintableTextAndUtf8PassUnchanged) {
  EXPECT_EQ(TerminalText::escape("plain text, 100% \\ fine"), "plain text, 100% \\ fine");
  const std::string utf8 =
      "gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9F\x98\x80";  // grüße € 😀
  EXPECT_EQ(TerminalText::escape(utf8), utf8);
}

TEST_F(TerminalTextTest, ControlCharactersAreShownAsEscapes) {
  EXPECT_EQ(TerminalText::escape(std::string("\x1b[2J\x07"
                                             "a\r\nb\tc\x7f\x00",
                                             13)),
            "\\x1b[2J\\x07a\\r\\nb\\tc\\x7f\\x00");
}

TEST_F(TerminalTextTest, C1ControlsAndLineReorderingCharactersAreEscaped) {
  // U+009B is a one-character control sequence introducer on some terminals.
  EXPECT_EQ(TerminalText::escape("\xC2\x9B"
                                 "31m"),
            "\\u009B31m");
  EXPECT_EQ(TerminalText::escape("abc\xE2\x80\xAE"
                                 "fdp.exe"),
            "abc\\u202Efdp.exe");
  EXPECT_EQ(TerminalText::escape("x\xE2\x80\xA8y"), "x\\u2028y");
}

TEST_F(TerminalTextTest, BytesThatAreNotWellFormedUtf8AreEscapedOneByOne) {
  EXPECT_EQ(TerminalText::escape("\xFF\xFE"), "\\xff\\xfe");
  EXPECT_EQ(TerminalText::escape("\x80"
                                 "a"),
            "\\x80a");                                                 // stray continuation
  EXPECT_EQ(TerminalText::escape("\xC0\x9B"), "\\xc0\\x9b");           // overlong ESC-like
  EXPECT_EQ(TerminalText::escape("\xE2\x82"), "\\xe2\\x82");           // cut short
  EXPECT_EQ(TerminalText::escape("\xED\xA0\x80"), "\\xed\\xa0\\x80");  // a surrogate
  EXPECT_EQ(TerminalText::escape("\xF4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // past U+10FFFF
}

TEST_F(TerminalTextTest, AFieldEndsAtItsFirstNulOrItsSize) {
  const char padded[8] = {'b', 'o', 'b', 0, 'x', 0, 0, 0};
  EXPECT_EQ(TerminalText::field(padded, sizeof padded), "bob");
  const char full[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', '\x1b'};
  EXPECT_EQ(TerminalText::field(full, sizeof full), "abcdefg\\x1b");
}

}  // namespace
