#include "file_line_reader.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace tessivar {
namespace {

std::vector<std::string> linesOf(const std::string& contents) {
  FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  EXPECT_EQ(std::fwrite(contents.data(), 1, contents.size(), file), contents.size());
  std::fflush(file);
  std::rewind(file);
  FileLineReader reader(fileno(file));
  std::vector<std::string> lines;
  std::string line;
  while (reader.next(line)) lines.push_back(line);
  EXPECT_FALSE(reader.failed());
  std::fclose(file);
  return lines;
}

std::vector<std::string> linesByGetline(const std::string& contents) {
  std::istringstream in(contents);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(FileLineReaderTest, SplitsAsGetlineDoes) {
  const std::size_t buffer = FileLineReader::kBufferSize;
  const std::vector<std::string> contents = {
      "",
      "one line without an end",
      "a\nb\n",
      "\n\n",
      "a\r\nb\r\n\r\n",
      std::string("zero\0byte\n", 10),
      std::string(buffer - 1, 'x') + "\n" + "next\n",  // the "\n" is the buffer's last byte
      std::string(buffer, 'y') + "\nnext",             // the "\n" starts the second buffer
      std::string(3 * buffer + 17, 'z') + "\n\n" + std::string(buffer, 'w'),
  };
  for (const auto& text : contents) {
    EXPECT_EQ(linesOf(text), linesByGetline(text)) << "contents of " << text.size() << " bytes";
  }
}

}  // namespace
}  // namespace tessivar
