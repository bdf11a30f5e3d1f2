// Child programs: argument vectors, where their output goes, the one pipe
// program, and wait statuses that the child reaper must leave alone.
#include "setup/child_programs.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/scratch_file.h"

namespace {

// The reaper as setup installs it and the log device on a scratch file.
struct child_programs : testing::Test {
  const char* saved_log = log_device;
  scratch_file log;
  child_programs() {
    signal(SIGCHLD, child_reaper);  // restarting interrupted calls, as setup's does
    log_device = log.path();
  }
  ~child_programs() {
    signal(SIGCHLD, SIG_DFL);
    log_device = saved_log;
  }
};

}  // namespace

TEST(child_program_arguments, vectors_drop_every_null_word_and_refuse_too_many) {
  argument_vector v;
  const char* words[] = {"-q", ">null", "-uC", ">null", nullptr};
  ASSERT_TRUE(build_argument_vector(v, "/sbin/sfdisk", words));
  std::string text;
  for (int i = 0; i <= v.count; ++i) text += v.items[i] ? v.items[i] + std::string(" ") : "end";
  EXPECT_EQ(text, "/sbin/sfdisk -q -uC end");
  EXPECT_TRUE(v.output_to_log);
  ASSERT_TRUE(build_argument_vector(v, "/sbin/sfdisk", words + 4));
  EXPECT_FALSE(v.output_to_log);

  const char* many[MAX_PROGRAM_ARGUMENTS + 2];
  for (int i = 0; i <= MAX_PROGRAM_ARGUMENTS; ++i) many[i] = "x";
  many[MAX_PROGRAM_ARGUMENTS + 1] = nullptr;
  EXPECT_FALSE(build_argument_vector(v, "/bin/true", many));
  many[MAX_PROGRAM_ARGUMENTS] = ">null";
  EXPECT_TRUE(build_argument_vector(v, "/bin/true", many));
  EXPECT_EQ(v.count, MAX_PROGRAM_ARGUMENTS + 1);
}

// Exit statuses, 127 for a program that is not there, output and errors on
// the log device, "/dev/null" as input.
TEST_F(child_programs, run_program_reports_status_and_logs_output) {
  int status = run_program(nullptr, "/bin/sh", "-c", "echo out; echo err >&2; cat; exit 3", NULL);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
  EXPECT_EQ(log.contents(), "out\nerr\n");
  status = run_program(nullptr, "/nonexistent/program", nullptr);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
}

// One pipe program at a time; its status reaches close_program even when it
// ended long before and the reaper ran for other children meanwhile.
TEST_F(child_programs, pipe_program_status_survives_the_reaper) {
  program_reader* reader = open_program_reader("/bin/sh", "-c", "echo one; exit 5", nullptr);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(open_program_reader("/bin/true", nullptr), nullptr);
  usleep(100000);  // the program has ended; its SIGCHLD is waiting
  EXPECT_EQ(run_program(nullptr, "/bin/true", nullptr), 0);
  char line[16] = {};
  reader->getline(line, sizeof line);
  EXPECT_STREQ(line, "one");
  int status = close_program(reader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5) << status;

  program_writer* writer = open_program_writer("/bin/cat", ">null", nullptr);
  ASSERT_NE(writer, nullptr);
  *writer << "to the log\n";
  EXPECT_EQ(close_program(writer), 0);
  EXPECT_EQ(log.contents(), "to the log\n");
}
