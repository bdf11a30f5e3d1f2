// The layouts the package writer refuses. What it writes is decoded by the
// kpk scenario tests, with a decoder of their own.
#include "package_format/package_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/records.h"
#include "support/scratch_file.h"

TEST(package_writer, refuses_layouts_it_cannot_write_and_stays_failed) {
  scratch_file file;
  file_output_stream out(file.path());
  {
    package_writer w(out);
    ASSERT_TRUE(w.begin_file(PACKAGE_MAGIC_RECORDED));
    EXPECT_FALSE(w.write_header_record(SECTION_PACKAGE_HEADER, package("seventeen-chars-x", 1)));
    EXPECT_NE(w.error(), nullptr);
    EXPECT_FALSE(w.write_section(SECTION_DESCRIPTION, "x", 1)) << "the first failure sticks";
  }
  struct {
    const char* what;
    bool (*steps)(package_writer&);
  } cases[] = {
      {"more data than the size says",
       [](package_writer& w) {
         return w.begin_file_data() && w.write_entry(file_entry{0x81A4, 1, 2, 1600000000, 1, 2}, "/f") &&
                w.write_entry_data("ab", 2);
       }},
      {"the file ended inside a section",
       [](package_writer& w) { return w.begin_section(2) && w.end_file(); }},
  };
  for (const auto& c : cases) {
    package_writer w(out);
    ASSERT_TRUE(w.begin_file(PACKAGE_MAGIC_RECORDED)) << c.what;
    EXPECT_FALSE(c.steps(w)) << c.what;
    EXPECT_NE(w.error(), nullptr) << c.what;
  }
}
