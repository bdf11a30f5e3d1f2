// The boot program's bytes: the texts right after the code, the zero
// padding, and the constants of the PC it must get right.
#include "setup/boot/boot_program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The program runs from 0000:0600 after copying itself there.
constexpr unsigned RUN = 0x600;

const std::string program(reinterpret_cast<const char*>(boot_program), BOOT_PROGRAM_SIZE);

const std::string TEXTS = std::string("Error loading operating system") + '\0' +
                          "Missing operating system" + '\0';

bool contains(std::vector<unsigned char> bytes) {
  return program.find(std::string(bytes.begin(), bytes.end())) != std::string::npos;
}

// "mov $value, %reg16" into any register: B8+r, then the value little-endian.
bool moves_immediate(unsigned value) {
  for (unsigned char reg = 0; reg < 8; ++reg)
    if (contains({static_cast<unsigned char>(0xb8 + reg), static_cast<unsigned char>(value),
                  static_cast<unsigned char>(value >> 8)}))
      return true;
  return false;
}

}  // namespace

// The texts sit right after the code, in this order, and only zeros follow
// them; the code prints each from its address in the relocated copy.
TEST(boot_program, texts_follow_the_code_and_zeros_fill_the_rest) {
  size_t texts = program.find(TEXTS);
  ASSERT_NE(texts, std::string::npos);
  ASSERT_GT(texts, 0u);
  EXPECT_NE(program[texts - 1], '\0') << "code must end where the texts begin";
  EXPECT_EQ(program.find_first_not_of('\0', texts + TEXTS.size()), std::string::npos);

  size_t missing = program.find("Missing operating system");
  EXPECT_TRUE(moves_immediate(RUN + texts)) << "address of the load error text";
  EXPECT_TRUE(moves_immediate(RUN + missing)) << "address of the missing system text";
}

// Each constant stands for a fact of the PC or of the sector layout; a
// slip in any of them breaks booting on every disk.
TEST(boot_program, uses_the_constants_of_the_boot_process) {
  struct {
    const char* what;
    bool found;
  } facts[] = {
      {"stack and buffer at 0x7C00", moves_immediate(0x7c00)},
      {"copy destination 0x0600", moves_immediate(RUN)},
      {"copy of 256 words", moves_immediate(256) && contains({0xf3, 0xa5})},
      {"partition table at 0x1BE of the copy", moves_immediate(RUN + 0x1be)},
      {"five read attempts", moves_immediate(5)},
      {"read one sector (function 2)", moves_immediate(0x0201)},
      {"teletype page 0, attribute 7", moves_immediate(0x0007) && contains({0xb4, 0x0e})},
      {"signature 55 AA at 0x7DFE", contains({0x81, 0x3e, 0xfe, 0x7d, 0x55, 0xaa})},
      {"jump to 0000:7C00", contains({0xea, 0x00, 0x7c, 0x00, 0x00})},
      {"int 0x13", contains({0xcd, 0x13})},
      {"int 0x18", contains({0xcd, 0x18})},
      {"int 0x10", contains({0xcd, 0x10})},
  };
  for (const auto& fact : facts) EXPECT_TRUE(fact.found) << fact.what;
}

// The far jump after the copy lands inside the copied code, not in the
// original at 0x7C00 nor past the code.
TEST(boot_program, continues_in_the_copy) {
  size_t jump = program.find(std::string("\xea", 1));
  ASSERT_NE(jump, std::string::npos);
  unsigned target = static_cast<unsigned char>(program[jump + 1]) |
                    static_cast<unsigned char>(program[jump + 2]) << 8;
  EXPECT_EQ(program.substr(jump + 3, 2), std::string(2, '\0')) << "segment 0";
  EXPECT_EQ(target, RUN + jump + 5) << "the instruction after the jump";
}
