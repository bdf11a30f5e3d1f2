#include "installer/messages.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "foundation/streams.h"
#include "installer/repository.h"

namespace {

constexpr size_t MESSAGE_BUFFER_SIZE = 256;  // 255 characters and the terminator

void print_message(const char* prefix, const char* format, va_list arguments) {
  char text[MESSAGE_BUFFER_SIZE];
  vsnprintf(text, sizeof text, format, arguments);
  string message(prefix);
  message.append(text);

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
  file_output_stream log("/postlog");
  if (!repo.message_log.empty()) sync();
  for (const string& message : repo.message_log) log << message << '\n';
  log.flush();
  log.close();
}
