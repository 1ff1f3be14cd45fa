#include "tool_page_writer.hpp"

#include <cstdio>
#include <random>

std::string TestPageWriter::row(std::size_t number, const std::string& helper) {
  char host[32];
  std::snprintf(host, sizeof host, "site%07zu", number);
  return std::string("<tr><td><a href=\"http://") + host + ".i2p/?i2paddresshelper=" + helper +
         "\">a</a> <a href=\"http://" + host + ".b32.i2p/\">b</a></td></tr>\n";
}

long TestPageWriter::write(const std::string& path) const {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return -1;
  static const char base64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-~";
  static const char text[] = "abcdefghijklmnopqrstuvwxyz <>/=\".";
  std::mt19937 random(7);
  std::string helper(524, 'A');

  const std::size_t rows = lines_ - lines_ / 3;
  const std::size_t others = lines_ - rows;
  const std::size_t rowBytes = row(0, helper).size();
  const std::size_t fillerOpening = std::string("<tr><td><a href=\"http://x.i2p/\">a</a> ").size();
  std::size_t otherBytes = 0;
  if (bytes_ > rows * rowBytes && others > 0) otherBytes = (bytes_ - rows * rowBytes) / others;
  const std::size_t textBytes =
      otherBytes > fillerOpening + 16 ? otherBytes - fillerOpening - 16 : 8;

  long written = 0;
  for (std::size_t i = 0; i < lines_; ++i) {
    std::string line;
    if (i % 3 != 2) {
      for (char& c : helper) c = base64[random() % 64];
      line = row(i, helper);
      ++written;
    } else {
      line = "<tr><td><a href=\"http://x.i2p/\">a</a> <td>";
      for (std::size_t n = 0; n < textBytes; ++n) line += text[random() % (sizeof text - 1)];
      line += "</td></tr>\n";
    }
    if (std::fwrite(line.data(), 1, line.size(), file) != line.size()) written = -1;
  }
  if (std::fclose(file) != 0) written = -1;
  return written;
}
