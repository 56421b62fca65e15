#include "store/LineReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Every piece the reader returns; the number of the line each belongs to in *numbers.
std::vector<std::string> readAll(const std::string& content, std::size_t size = 256,
                                 std::vector<long>* numbers = nullptr) {
  std::FILE* file = std::tmpfile();
  std::fwrite(content.data(), 1, content.size(), file);
  std::rewind(file);
  LineReader reader(file);
  std::vector<std::string> lines;
  std::vector<char> buffer(size);
  while (reader.next(buffer.data(), buffer.size())) {
    lines.push_back(buffer.data());
    if (numbers != nullptr) numbers->push_back(reader.lineNumber());
  }
  std::fclose(file);
  return lines;
}

std::vector<long> lineNumbers(const std::string& content, std::size_t size = 256) {
  std::vector<long> numbers;
  readAll(content, size, &numbers);
  return numbers;
}

using Lines = std::vector<std::string>;

TEST(LineReaderTest, SplitsAtLineFeedsAndKeepsEmptyLines) {
  EXPECT_EQ(readAll("a\n\nb\n"), (Lines{"a", "", "b"}));
  EXPECT_EQ(readAll("last without newline"), (Lines{"last without newline"}));
  EXPECT_EQ(readAll(""), Lines{});
}

TEST(LineReaderTest, CarriageReturnBeforeLineFeedIsNotPartOfTheLine) {
  EXPECT_EQ(readAll("one\r\ntwo\r\n"), (Lines{"one", "two"}));
  EXPECT_EQ(readAll("lone\rcr\n"), (Lines{"lone\rcr"}));
  EXPECT_EQ(readAll("end\r"), (Lines{"end\r"}));
}

TEST(LineReaderTest, LongLinesComeInPiecesWithoutAPhantomEmptyLine) {
  EXPECT_EQ(readAll("abcdefgh\n", 4), (Lines{"abc", "def", "gh"}));
  EXPECT_EQ(readAll("abcdef\nxy\n", 4), (Lines{"abc", "def", "xy"}));
  EXPECT_EQ(readAll("abc\r\nxy\n", 4), (Lines{"abc", "xy"}));
  EXPECT_EQ(readAll("abc\rxy\n", 4), (Lines{"abc", "\rxy"}));
  std::string longLine(300, 'z');
  EXPECT_EQ(readAll(longLine + "\n"), (Lines{std::string(255, 'z'), std::string(45, 'z')}));
}

TEST(LineReaderTest, PiecesOfOneLineShareItsNumber) {
  using Numbers = std::vector<long>;
  EXPECT_EQ(lineNumbers("a\n\nb"), (Numbers{1, 2, 3}));
  EXPECT_EQ(lineNumbers("abcdefgh\nxy\n", 4), (Numbers{1, 1, 1, 2}));
  // A piece that fills the buffer up to the line end ends the line, with CR LF too.
  EXPECT_EQ(lineNumbers("abc\nxy\n", 4), (Numbers{1, 2}));
  EXPECT_EQ(lineNumbers("abc\r\nxy\n", 4), (Numbers{1, 2}));
  EXPECT_EQ(lineNumbers("abc\rxy\n", 4), (Numbers{1, 1}));
  EXPECT_EQ(lineNumbers("abc", 4), (Numbers{1}));
}

}  // namespace
