#include "tools/kpk_listing.h"

#include <stdio.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <time.h>

namespace {

char type_letter(uint32_t mode) {
  switch (mode & ENTRY_TYPE_MASK) {
    case ENTRY_REGULAR:
      return '-';
    case ENTRY_DIRECTORY:
      return 'd';
    case ENTRY_SYMBOLIC_LINK:
      return 'l';
    case ENTRY_CHARACTER_DEVICE:
      return 'c';
    case ENTRY_BLOCK_DEVICE:
      return 'b';
    case ENTRY_FIFO:
      return 'p';
    case 0xC000:
      return 's';
    default:
      return '?';
  }
}

// One rwx triple; the special bit turns x into s/t (S/T without x).
void format_triple(uint32_t bits, bool special, char special_letter, char* text) {
  text[0] = bits & 4 ? 'r' : '-';
  text[1] = bits & 2 ? 'w' : '-';
  if (special)
    text[2] = bits & 1 ? special_letter : (char)(special_letter - 'a' + 'A');
  else
    text[2] = bits & 1 ? 'x' : '-';
}

}  // namespace

void write_escaped(output_stream& out, const char* data, size_t n, bool keep_lines) {
  size_t clean = 0;  // start of the run of bytes that need no escape
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = (unsigned char)data[i];
    bool plain = (c >= 0x20 && c != 0x7F && c != '\\') || (keep_lines && (c == '\n' || c == '\t'));
    if (plain) continue;
    out.write(data + clean, i - clean);
    char escape[5];
    snprintf(escape, sizeof escape, "\\%03o", c);
    out << escape;
    clean = i + 1;
  }
  out.write(data + clean, n - clean);
}

string escaped_text(const string& text) {
  string result;
  for (char c : text) {
    unsigned char byte = (unsigned char)c;
    if (byte >= 0x20 && byte != 0x7F && byte != '\\') {
      result.append(c);
      continue;
    }
    char escape[5];
    snprintf(escape, sizeof escape, "\\%03o", byte);
    result.append(escape);
  }
  return result;
}

void format_mode(uint32_t mode, char* text) {
  text[0] = type_letter(mode);
  format_triple(mode >> 6 & 7, mode & 04000, 's', text + 1);
  format_triple(mode >> 3 & 7, mode & 02000, 's', text + 4);
  format_triple(mode & 7, mode & 01000, 't', text + 7);
  text[10] = '\0';
}

void format_time(uint32_t seconds, bool with_seconds, char* text, size_t size) {
  time_t t = (time_t)seconds;
  struct tm parts;
  if (!gmtime_r(&t, &parts) ||
      strftime(text, size, with_seconds ? "%Y-%m-%d %H:%M:%S UTC" : "%Y-%m-%d %H:%M", &parts) == 0)
    snprintf(text, size, "%u", seconds);
}

void print_entry_line(output_stream& out, const file_entry& entry, const string& name,
                      const string* link_target, uint32_t device_number) {
  char mode[11], owner[24], size[24], when[40];
  format_mode(entry.mode, mode);
  snprintf(owner, sizeof owner, "%u/%u", entry.uid, entry.gid);
  uint32_t type = entry.mode & ENTRY_TYPE_MASK;
  if (type == ENTRY_CHARACTER_DEVICE || type == ENTRY_BLOCK_DEVICE)
    snprintf(size, sizeof size, "%u,%u", major(device_number), minor(device_number));
  else
    snprintf(size, sizeof size, "%u", entry.data_size);
  format_time(entry.mtime, false, when, sizeof when);
  char line[128];
  snprintf(line, sizeof line, "%s %-9s %10s %s ", mode, owner, size, when);
  out << line;
  if (name.empty() || name[0] != '/') out << '/';
  write_escaped(out, name.c_str(), name.length(), false);
  if (link_target) {
    out << " -> ";
    write_escaped(out, link_target->c_str(), link_target->length(), false);
  }
  out << '\n';
}
