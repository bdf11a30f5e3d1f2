#include "support/records.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

requirement_entry requirement(const char* name, version_number minimum, version_number maximum) {
  requirement_entry entry;
  entry.name = name, entry.minimum = minimum, entry.maximum = maximum;
  return entry;
}

package_header package(const char* name, version_number version, uint32_t build_time) {
  package_header header;
  header.name = name, header.version = version, header.build_time = build_time;
  return header;
}

version_number version_of(const std::string& text) {
  version_number v = 0;
  EXPECT_TRUE(parse_version(text.c_str(), &v)) << text;
  return v;
}

namespace {

// "lib>=1.0<=2.0", "lib=2.0" or "lib".
requirement_entry bounded(const std::string& text) {
  size_t at = text.find_first_of("<>=");
  requirement_entry entry = requirement(text.substr(0, at).c_str());
  while (at != std::string::npos) {
    char op = text[at];
    at += op == '=' ? 1 : 2;
    size_t end = text.find_first_of("<>=", at);
    version_number v = version_of(text.substr(at, end - at));
    if (op != '<') entry.minimum = v;
    if (op != '>') entry.maximum = v;
    at = end;
  }
  return entry;
}

}  // namespace

package_words parse_package_words(const std::string& text) {
  package_words p;
  std::istringstream words(text);
  std::string word;
  words >> word;
  requirement_entry self = bounded(word);
  p.header = package(self.name.c_str(), self.minimum ? self.minimum : version_of("1.0"));
  while (words >> word) {
    std::string value = word.substr(word.find(':') + 1);
    if (word[0] == '@') {
      p.header.build_time = (uint32_t)std::stoul(word.substr(1));
    } else if (word.rfind("needs:", 0) == 0) {
      p.header.dependencies.push_back(bounded(value));
    } else if (word.rfind("conflicts:", 0) == 0) {
      p.header.conflicts.push_back(bounded(value));
    } else if (word.rfind("holds:", 0) == 0) {
      requirement_entry member = bounded(value);
      p.holds.push_back(package(member.name.c_str(), member.minimum ? member.minimum : version_of("1.0")));
    } else if (word.rfind("in:", 0) == 0) {
      p.bundle = value;
    } else {
      EXPECT_TRUE(word == "invalid" || word == "unrecorded") << word;
      (word == "invalid" ? p.invalid : p.unrecorded) = true;
    }
  }
  return p;
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  for (size_t start = 0;;) {
    size_t end = text.find(separator, start);
    std::string piece = text.substr(start, end - start);
    piece.erase(0, piece.find_first_not_of(' '));
    piece.erase(piece.find_last_not_of(' ') + 1);
    pieces.push_back(piece);
    if (end == std::string::npos) return pieces;
    start = end + separator.size();
  }
}

std::vector<std::string> table_lines(const char* name) {
  std::ifstream in(std::string(TESS_TEST_DATA "/") + name);
  EXPECT_TRUE(in) << "cannot open " << name;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}
