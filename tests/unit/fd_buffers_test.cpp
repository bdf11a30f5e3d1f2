#include "foundation/fd_buffers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/scratch_file.h"

namespace {

// Runs body in a child after a pause of delay_ms; the caller waits for it.
template <typename F>
pid_t later_in_child(F body, int delay_ms = 200) {
  pid_t child = fork();
  if (child == 0) usleep(delay_ms * 1000), body(), _exit(0);
  return child;
}

// The buffer holds 4095 bytes; writes of 1024 or more flush it, then bypass
// it; the destructor flushes, but never closes.
TEST(fd_output_buffer, holds_4095_bytes_flushes_before_large_writes_and_at_the_end) {
  int fds[2];  // one record per write(): the test sees how the buffer cut its writes
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  auto records = [&] {
    std::vector<size_t> sizes;
    static char scratch[1 << 16];
    for (ssize_t n; (n = recv(fds[1], scratch, sizeof scratch, MSG_DONTWAIT)) > 0;) sizes.push_back(n);
    return sizes;
  };
  std::string data = pattern_bytes(4096);
  {
    fd_output_buffer buffer(fds[0]);
    for (size_t i = 0; i < 4095; ++i) ASSERT_EQ(buffer.put_byte(data[i]), (unsigned char)data[i]);
    EXPECT_TRUE(records().empty());
    buffer.put_byte(data[4095]);
    EXPECT_EQ(records(), std::vector<size_t>{4096});
    EXPECT_EQ(buffer.xsputn(data.data(), 10) + buffer.xsputn(data.data(), 1023), 1033u);
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(buffer.xsputn(data.data(), 1024), 1024u);
    EXPECT_EQ(records(), (std::vector<size_t>{1033, 1024}));
    buffer.put_byte('z');
  }
  EXPECT_EQ(records(), std::vector<size_t>{1});
  EXPECT_NE(fcntl(fds[0], F_GETFD), -1);
  close(fds[0]), close(fds[1]);
}

// A file size limit makes write() stop part-way, then fail: a full disk. A
// partial flush keeps the rest for the next; a refused overflow takes nothing.
TEST(fd_output_buffer, partial_and_refused_writes_on_a_full_disk_lose_nothing) {
  rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  auto limit = [&](rlim_t bytes) {
    rlimit r = saved;
    r.rlim_cur = bytes;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &r), 0);
  };
  void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  scratch_file file;
  fd_output_buffer buffer(file.fd());
  std::string data = pattern_bytes(6395);
  buffer.xsputn(data.data(), 300);
  limit(100);
  EXPECT_EQ(buffer.sync_buffer(), 0);
  EXPECT_EQ(file.contents(), data.substr(0, 100));
  EXPECT_EQ(buffer.sync_buffer(), -1);  // nothing at all could be written
  EXPECT_EQ(buffer.xsputn(data.data() + 300, 2000), 0u);
  limit(RLIM_INFINITY);
  EXPECT_EQ(buffer.xsputn(data.data() + 300, 2000), 2000u);  // after every buffered byte
  limit(2300);
  for (size_t i = 2300; i < 6395; ++i) buffer.put_byte(data[i]);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(buffer.put_byte('!'), END_OF_DATA);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(buffer.sync_buffer(), 0);
  EXPECT_TRUE(file.contents() == data);
}

// A signal without SA_RESTART interrupts a blocked read or write; the buffer
// must try again instead of taking EINTR for the end or a failure.
struct interrupting_signal {
  struct sigaction saved;
  explicit interrupting_signal(int delay_ms) {
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, &saved);
    itimerval timer = {{0, 0}, {0, delay_ms * 1000}};
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~interrupting_signal() { sigaction(SIGALRM, &saved, nullptr); }
};

TEST(fd_buffers, interrupted_write_and_read_are_repeated) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int capacity = fcntl(fds[1], F_GETPIPE_SZ);
  std::string fill(capacity, 'f');
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  ASSERT_EQ(write(fds[1], fill.data(), fill.size()), capacity);  // the pipe is full
  fcntl(fds[1], F_SETFL, 0);
  {
    fd_output_buffer output(fds[1]);
    output.xsputn("late", 4);
    pid_t drain = later_in_child([&] { (void)!read(fds[0], &fill[0], fill.size()); });
    interrupting_signal alarm(30);
    EXPECT_EQ(output.sync_buffer(), 0);
    waitpid(drain, nullptr, 0);
  }
  fd_input_buffer input(fds[0]);
  EXPECT_EQ(input.next_byte(), 'l');
  char rest[3];
  EXPECT_EQ(input.xsgetn(rest, 3), 3u);
  pid_t writer = later_in_child([&] { (void)!write(fds[1], "z", 1); });
  interrupting_signal alarm(30);
  EXPECT_EQ(input.next_byte(), 'z');
  waitpid(writer, nullptr, 0);
  close(fds[0]), close(fds[1]);
}

// A read of 1024 bytes or more takes the buffered bytes, then reads straight
// into the caller's memory until it has all, keeping the last for put-back.
TEST(fd_input_buffer, large_reads_bypass_the_buffer_and_wait_for_every_byte) {
  scratch_file file(pattern_bytes(3000));
  for (size_t n : {1023, 1024}) {
    lseek(file.fd(), 0, SEEK_SET);
    fd_input_buffer buffer(file.fd());
    std::string got(n, '\0');
    ASSERT_EQ(buffer.xsgetn(&got[0], n), n);
    EXPECT_EQ(lseek(file.fd(), 0, SEEK_CUR), n < 1024 ? 3000 : 1024) << n;
  }
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string data = pattern_bytes(3003);
  ASSERT_EQ(write(fds[1], data.data(), 1003), 1003);
  fd_input_buffer buffer(fds[0]);
  EXPECT_EQ(buffer.next_byte(), (unsigned char)data[0]);  // the buffer holds 1002 more
  pid_t writer = later_in_child([&] {  // in two pieces: the first read comes back short
    (void)!write(fds[1], data.data() + 1003, 500);
    usleep(100000);
    (void)!write(fds[1], data.data() + 1503, 1500);
  });
  std::string got(2000, '\0');
  EXPECT_EQ(buffer.xsgetn(&got[0], 2000), 2000u);
  EXPECT_TRUE(got == data.substr(1, 2000));
  EXPECT_EQ(buffer.unget(), (unsigned char)data[2000]);
  waitpid(writer, nullptr, 0);
  close(fds[1]);
  std::string rest(2000, '\0');
  // The byte put back comes first; the read is short at the end of the data.
  EXPECT_EQ(buffer.xsgetn(&rest[0], 2000), 1003u);
  EXPECT_TRUE(rest.substr(0, 1003) == data.substr(2000));
  close(fds[0]);
}

}  // namespace
