#include "installer/messages.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "foundation/streams.h"
#include "installer/own_files.h"
#include "installer/package_record.h"
#include "installer/paths.h"
#include "installer/repository.h"
#include "package_format/package_reader.h"

namespace {

constexpr size_t MESSAGE_BUFFER_SIZE = 256;  // 255 characters and the terminator

// Names in messages come from package files and directories: a control
// byte (C0, DEL or C1) is shown as "\xHH", so that no name can move the
// cursor, clear the console or end a line of "/postlog".
void append_escaped(string& message, const char* text) {
  static const char DIGITS[] = "0123456789abcdef";
  const size_t limit = message.length() + (MESSAGE_BUFFER_SIZE - 1);
  for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
    const unsigned char c = *p;
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      const char escape[4] = {'\\', 'x', DIGITS[c >> 4], DIGITS[c & 15]};
      message.append(escape, 4);
    } else {
      message.append((char)c);
    }
  }
  // The shown text keeps the limit of the formatted text.
  if (message.length() > limit) message.resize(limit);
}

void print_message(const char* prefix, const char* format, va_list arguments) {
  char text[MESSAGE_BUFFER_SIZE];
  vsnprintf(text, sizeof text, format, arguments);
  string message(prefix);
  append_escaped(message, text);

  repository& repo = the_repository();
  if (repo.quiet) return;
  output_stream& out = standard_output;
  const bool has_status = !repo.status_line.empty();
  if (has_status) {
    // Blanks the status line of an 80-column console.
    out << '\r';
    for (int i = 0; i < 79; ++i) out << ' ';
    out << '\r' << flush;
  }
  out << message << endl;
  // A warning stands above the progress display, which goes on below it.
  if (has_status) out << repo.status_line << flush;
  repo.message_log.push_back(message);
}

}  // namespace

void set_status_line(const char* text) {
  repository& repo = the_repository();
  if (repo.quiet) return;
  const size_t length = strlen(text);
  if (length == repo.status_line.length() && memcmp(text, repo.status_line.c_str(), length) == 0)
    return;
  output_stream& out = standard_output;
  out << "\033[?25l" << '\r' << text;
  for (size_t i = length; i < repo.status_line.length(); ++i) out << ' ';
  out << '\r' << "\033[?25h" << flush;
  repo.status_line = text;
}

void log_info(const char* format, ...) {
  set_status_line("");
  va_list arguments;
  va_start(arguments, format);
  print_message("", format, arguments);
  va_end(arguments);
}

void log_warning(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  print_message("WARNING: ", format, arguments);
  va_end(arguments);
}

void log_error(const char* format, ...) {
  set_status_line("");
  va_list arguments;
  va_start(arguments, format);
  print_message("ERROR: ", format, arguments);
  va_end(arguments);
}

void finish_run() {
  repository& repo = the_repository();
  // Written as a regular file only: a link there would carry the log into
  // whatever it names, a FIFO would stop the run for ever.
  clear_own_path(MESSAGE_LOG_FILE);
  file_output_stream log(MESSAGE_LOG_FILE, OPEN_NO_FOLLOW);
  if (!is_regular_file(log.fd())) return;
  if (!repo.message_log.empty()) sync();
  for (const string& message : repo.message_log) log << message << '\n';
  log.flush();
  log.close();
}

void report_write_failure(const package_record& record, const char* item, int error) {
  string label = failure_label(record);
  if (error == ENOSPC)
    log_error("installation of %s failed: disk is too small", label.c_str());
  else if (error == EIO)
    log_error("installation of %s failed: disk error", label.c_str());
  else
    log_error("installation of %s failed: could not create %s: %s", label.c_str(), item,
              strerror(error));
}

void report_broken_package(const package_record& record) {
  log_error("installation of %s failed: broken package", failure_label(record).c_str());
}

string progress_bar(const string& label, const package_reader& reader) {
  string text("installing ");
  text.append(label);
  text.append(" [");
  const uint64_t width = text.length() < 76 ? 76 - text.length() : 0;
  uint64_t filled = reader.total_size() ? width * reader.position() / reader.total_size() : 0;
  // A file header that understates the size must not overrun the bar.
  if (filled > width) filled = width;
  text.append((size_t)filled, '#');
  text.append((size_t)(width - filled), ' ');
  text.append(']');
  return text;
}
