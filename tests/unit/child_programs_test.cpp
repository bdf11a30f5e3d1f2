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

std::string vector_text(const argument_vector& v) {
  std::string text;
  for (int i = 0; i < v.count; ++i) text += std::string(i ? " " : "") + v.items[i];
  return text;
}

// The reaper as setup installs it, for the whole test.
struct reaper_installed {
  struct sigaction old;
  reaper_installed() {
    struct sigaction action = {};
    action.sa_handler = child_reaper;
    action.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &action, &old);
  }
  ~reaper_installed() { sigaction(SIGCHLD, &old, nullptr); }
};

}  // namespace

TEST(child_programs, argument_vectors_drop_every_null_word) {
  argument_vector v;
  const char* words[] = {"-q", ">null", "-uC", "/dev/hda", ">null", nullptr};
  ASSERT_TRUE(build_argument_vector(v, "/sbin/sfdisk", words));
  EXPECT_EQ(vector_text(v), "/sbin/sfdisk -q -uC /dev/hda");
  EXPECT_TRUE(v.output_to_log);
  EXPECT_EQ(v.items[v.count], nullptr);
  const char* plain[] = {"-g", nullptr};
  ASSERT_TRUE(build_argument_vector(v, "/sbin/sfdisk", plain));
  EXPECT_FALSE(v.output_to_log);

  const char* many[MAX_PROGRAM_ARGUMENTS + 2];
  for (int i = 0; i <= MAX_PROGRAM_ARGUMENTS; ++i) many[i] = "x";
  many[MAX_PROGRAM_ARGUMENTS + 1] = nullptr;
  EXPECT_FALSE(build_argument_vector(v, "/bin/true", many));
  many[MAX_PROGRAM_ARGUMENTS] = ">null";  // 14 real arguments fit
  EXPECT_TRUE(build_argument_vector(v, "/bin/true", many));
  EXPECT_EQ(v.count, MAX_PROGRAM_ARGUMENTS + 1);
}

// run_program: exit statuses, 127 for a program that is not there, output
// and errors on the log device, "/dev/null" as input.
TEST(child_programs, run_program_reports_status_and_logs_output) {
  reaper_installed reaper;
  scratch_file log;
  const char* saved = log_device;
  log_device = log.path();
  int status = run_program(nullptr, "/bin/sh", "-c", "echo out; echo err >&2; cat; exit 3", nullptr);
  log_device = saved;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(log.contents(), "out\nerr\n");
  status = run_program(nullptr, "/nonexistent/program", nullptr);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 127);
}

// One pipe program at a time; its status reaches close_program even when it
// ended long before and the reaper ran for other children meanwhile.
TEST(child_programs, pipe_program_status_survives_the_reaper) {
  reaper_installed reaper;
  program_reader* reader = open_program_reader("/bin/sh", "-c", "echo one; exit 5", nullptr);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(open_program_reader("/bin/true", nullptr), nullptr);
  EXPECT_EQ(open_program_writer("/bin/true", nullptr), nullptr);
  usleep(100000);  // the program has ended; its SIGCHLD is waiting
  EXPECT_EQ(WEXITSTATUS(run_program(nullptr, "/bin/true", nullptr)), 0);
  char line[16] = {};
  reader->getline(line, sizeof line);
  EXPECT_STREQ(line, "one");
  int status = close_program(reader);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);
  EXPECT_EQ(close_program(static_cast<program_reader*>(nullptr)), -1);

  scratch_file log;
  const char* saved = log_device;
  log_device = log.path();
  program_writer* writer = open_program_writer("/bin/cat", ">null", nullptr);
  ASSERT_NE(writer, nullptr);
  *writer << "to the log\n";
  EXPECT_EQ(close_program(writer), 0);
  log_device = saved;
  EXPECT_EQ(log.contents(), "to the log\n");
}
