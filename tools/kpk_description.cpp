#include "tools/kpk_description.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "foundation/streams.h"
#include "package_format/package_reader.h"
#include "tools/kpk.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

string trimmed(const char* first, const char* last) {
  while (first < last && is_blank(*first)) ++first;
  while (last > first && is_blank(last[-1])) --last;
  return string(first, last);
}

// One word at *p (up to white space or an operator), advancing past it.
string take_word(const char** p) {
  while (is_blank(**p)) ++*p;
  const char* start = *p;
  while (**p && !is_blank(**p) && **p != '<' && **p != '>' && **p != '=') ++*p;
  return string(start, *p);
}

// ">=", "<=" or "=" at *p; 0 when none.
char take_operator(const char** p) {
  while (is_blank(**p)) ++*p;
  char c = **p;
  if ((c == '>' || c == '<') && (*p)[1] == '=') {
    *p += 2;
    return c;
  }
  if (c == '=') {
    ++*p;
    return '=';
  }
  return 0;
}

}  // namespace

const char* package_name_problem(const string& name) {
  if (name.empty()) return "a package name cannot be empty";
  if (name.length() > PACKAGE_NAME_SIZE) return "a package name is at most 16 bytes";
  // The general validity check refuses blanks and control bytes too, so they
  // are looked for first to name the real reason.
  for (char c : name)
    if ((unsigned char)c <= ' ' || c == 0x7F)
      return "a package name cannot contain white space or control characters";
  if (!is_valid_package_name(name))
    return "a package name cannot begin with \".\" or contain \"/\"";
  return nullptr;
}

bool parse_requirement(const char* text, requirement_entry& entry, const char** problem) {
  const char* p = text;
  entry.name = take_word(&p);
  entry.minimum = entry.maximum = 0;
  if ((*problem = package_name_problem(entry.name))) return false;
  bool has_minimum = false, has_maximum = false;
  while (char op = take_operator(&p)) {
    string word = take_word(&p);
    version_number v;
    *problem = "expected a version after \">=\", \"<=\" or \"=\"";
    if (word.empty() || !parse_version(word.c_str(), &v)) return false;
    *problem = "a bound is given twice";
    if ((op != '<' && has_minimum) || (op != '>' && has_maximum)) return false;
    if (op != '<') entry.minimum = v, has_minimum = true;
    if (op != '>') entry.maximum = v, has_maximum = true;
  }
  while (is_blank(*p)) ++p;
  *problem = "expected NAME [>= VERSION] [<= VERSION]";
  if (*p != '\0') return false;
  *problem = "the minimum version is above the maximum";
  if (has_minimum && has_maximum && entry.minimum > entry.maximum) return false;
  *problem = nullptr;
  return true;
}

string format_requirement(const requirement_entry& entry) {
  string text(entry.name);
  if (entry.minimum != 0 && entry.minimum == entry.maximum) {
    text.append(" = ");
    text.append(format_version(entry.minimum));
    return text;
  }
  if (entry.minimum != 0) {
    text.append(" >= ");
    text.append(format_version(entry.minimum));
  }
  if (entry.maximum != 0) {
    text.append(" <= ");
    text.append(format_version(entry.maximum));
  }
  return text;
}

namespace {

// One description file being read: where we are, for messages.
struct description_reader {
  description_reader(const char* path_, description_kind kind_, package_description& out_)
      : path(path_), line(0), kind(kind_), out(out_) {}
  const char* path;
  unsigned line;
  description_kind kind;
  package_description& out;
  string folder;  // scripts are found relative to it
  bool seen_name = false, seen_version = false, seen_recorded = false;

  bool problem(const char* what, const char* detail = nullptr) {
    char number[16];
    snprintf(number, sizeof number, ":%u: ", line);
    report(path, number, what, detail ? ": " : nullptr, detail);
    return false;
  }
  bool once(bool& seen, const char* key) {
    if (seen) return problem("given twice", key);
    seen = true;
    return true;
  }
  bool set_name(const string& value);
  bool set_version(const string& value);
  bool set_architecture(const string& value);
  bool add_requirement(const string& value, vector<requirement_entry>& list);
  bool set_script(const string& value, string& path, const char* key);
  bool set_recorded(const string& value);
  bool set_build_time(const string& value);
  void add_description_line(const string& value);
  bool apply(const string& key, const string& value);
  bool apply_package_only(const string& key, const string& value, bool* known);
  bool process(const string& line);
  bool finish();
};

bool description_reader::set_name(const string& value) {
  if (!once(seen_name, "name")) return false;
  if (const char* why = package_name_problem(value)) return problem(why, value.c_str());
  out.header.name = value;
  return true;
}

bool description_reader::set_version(const string& value) {
  if (!once(seen_version, "version")) return false;
  if (!parse_version(value.c_str(), &out.header.version))
    return problem("not a version (such as 2.9, 2.9.1, 2.9rc3, 2.9beta10)", value.c_str());
  return true;
}

bool description_reader::set_architecture(const string& value) {
  if (!once(out.has_architecture, "architecture")) return false;
  for (char c : value)
    if ((unsigned char)c <= ' ') return problem("an architecture is one word", value.c_str());
  if (value.empty()) return problem("the architecture is empty");
  out.header.architecture = value;
  return true;
}

bool description_reader::set_build_time(const string& value) {
  if (!once(out.has_build_time, "build-time")) return false;
  if (!parse_u32(value.c_str(), &out.header.build_time))
    return problem("not a time in Unix seconds (0-4294967295)", value.c_str());
  return true;
}

bool description_reader::add_requirement(const string& value, vector<requirement_entry>& list) {
  requirement_entry entry;
  const char* why = nullptr;
  if (!parse_requirement(value.c_str(), entry, &why)) return problem(why, value.c_str());
  list.push_back(entry);
  return true;
}

bool description_reader::set_script(const string& value, string& path, const char* key) {
  bool seen = !path.empty();
  if (!once(seen, key)) return false;
  if (value.empty()) return problem("no file named", key);
  path = value[0] == '/' ? value : folder + value;
  return true;
}

bool description_reader::set_recorded(const string& value) {
  if (!once(seen_recorded, "recorded")) return false;
  if (value != "yes" && value != "no") return problem("recorded is yes or no", value.c_str());
  out.unrecorded = value == "no";
  return true;
}

void description_reader::add_description_line(const string& value) {
  if (out.has_description) out.description.append('\n');
  out.description.append(value);
  out.has_description = true;
}

bool description_reader::apply_package_only(const string& key, const string& value, bool* known) {
  *known = true;
  if (key == "description") {
    add_description_line(value);
    return true;
  }
  if (key == "install-script") return set_script(value, out.install_script, "install-script");
  if (key == "uninstall-script") return set_script(value, out.uninstall_script, "uninstall-script");
  if (key == "recorded") return set_recorded(value);
  *known = false;
  return false;
}

bool description_reader::apply(const string& key, const string& value) {
  if (key == "name") return set_name(value);
  if (key == "version") return set_version(value);
  if (key == "build-time") return set_build_time(value);
  if (key == "architecture") return set_architecture(value);
  if (key == "depends") return add_requirement(value, out.header.dependencies);
  if (key == "conflicts") return add_requirement(value, out.header.conflicts);
  bool known = false;
  if (kind == PACKAGE_DESCRIPTION) {
    bool done = apply_package_only(key, value, &known);
    if (known) return done;
  }
  return problem(
      kind == PACKAGE_DESCRIPTION ? "unknown key" : "unknown key in a bundle description",
      key.c_str());
}

bool description_reader::process(const string& line) {
  if (memchr(line.c_str(), '\0', line.length())) return problem("the line holds a NUL byte");
  string text = trimmed(line.begin(), line.end());
  if (text.empty() || text[0] == '#') return true;
  long colon = text.find(':');
  if (colon < 0) return problem("expected \"key: value\"", text.c_str());
  string key = trimmed(text.begin(), text.begin() + colon);
  string value = trimmed(text.begin() + colon + 1, text.end());
  return apply(key, value);
}

bool description_reader::finish() {
  if (!seen_name) return problem("no \"name:\" line");
  if (!seen_version) return problem("no \"version:\" line");
  return true;
}

}  // namespace

bool read_description(const char* path, description_kind kind, package_description& out) {
  file_input_stream input(path);
  if (!input.is_open()) {
    report(path, ": cannot open: ", strerror(errno));
    return false;
  }
  description_reader reader(path, kind, out);
  const char* slash = strrchr(path, '/');
  if (slash) reader.folder.assign(path, (size_t)(slash - path) + 1);
  string line;
  for (;;) {
    input.getline(line);
    bool last = !input;
    if (last && line.empty()) break;
    ++reader.line;
    if (!reader.process(line)) return false;
    if (last) break;
  }
  if (input.bad()) {
    report(path, ": cannot read: ", strerror(errno));
    return false;
  }
  return reader.finish();
}
