#include "installer/pending.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/streams.h"
#include "installer/install.h"
#include "installer/messages.h"
#include "installer/repository.h"
#include "package_format/package_reader.h"

namespace {

const char PENDING_DIRECTORY[] = "/var/pckg/";
const char DOWNGRADE_MARKER[] = "/DOWNGRADE";
const char RAM_DISK[] = "/ram";
const char MESSAGE_LOG_FILE[] = "/postlog";
constexpr uint64_t RAM_BUDGET = 10485760;  // 10 MiB per run of the step
constexpr size_t MESSAGE_LOG_RESERVE = 4096;

typedef linked_list<pending_package>::iterator pending_position;

// Both suffixes are handled alike; a name beginning with "." (".kpk" alone
// included) is never a waiting file.
bool is_waiting_file_name(const char* name) {
  if (name[0] == '.') return false;
  const size_t length = strlen(name);
  if (length < 4) return false;
  const char* suffix = name + length - 4;
  return strcmp(suffix, ".kpk") == 0 || strcmp(suffix, ".dpk") == 0;
}

// The marker applies to this run only: it goes as soon as it is seen.
bool take_downgrade_marker() {
  struct stat status;
  if (stat(DOWNGRADE_MARKER, &status) != 0) return false;
  remove(DOWNGRADE_MARKER);
  return true;
}

void collect_waiting_files(linked_list<pending_package>& collected) {
  DIR* directory = opendir(PENDING_DIRECTORY);
  if (!directory) return;
  while (dirent* entry = readdir(directory)) {
    if (!is_waiting_file_name(entry->d_name)) continue;
    string path(PENDING_DIRECTORY);
    path.append(entry->d_name);
    pending_package* record = new pending_package;
    if (read_pending_header(*record, path.c_str())) {
      collected.push_back(record);
    } else {
      log_error("broken package %s", entry->d_name);
      delete record;
    }
  }
  closedir(directory);
}

bool has_member_named(const pending_package& f, const string& name) {
  for (const package_header& member : f.members)
    if (member.name == name) return true;
  return false;
}

bool meets_any(const package_header& package, const vector<requirement_entry>& entries) {
  for (const requirement_entry& entry : entries)
    if (satisfies(package, entry)) return true;
  return false;
}

// T's place: right behind the first already placed file, from the back,
// that T must follow; the front when there is none.
void place_in_order(pending_package* t, linked_list<pending_package>& order, bool downgrade_mode) {
  if (t->unrecorded) {
    order.push_back(t);
    return;
  }
  pending_position x = order.end();
  while (x != order.begin()) {
    --x;
    const pending_package& placed = **x;
    if ((provides(placed, t->name) && preferred_over(placed, *t, downgrade_mode)) ||
        (provides(*t, placed.name) && !preferred_over(*t, placed, downgrade_mode)) ||
        depends_on(*t, placed) || conflicts_with(*t, placed)) {
      ++x;
      order.insert(x, t);
      return;
    }
  }
  order.push_front(t);
}

const char* base_name(const string& path) {
  long slash = path.rfind('/');
  return path.c_str() + (slash < 0 ? 0 : slash + 1);
}

// Moves what fits the budget to the RAM disk, in install order; a file that
// does not fit, or fails to move, is installed from where it is.
void move_to_ram_disk(linked_list<pending_package>& order) {
  uint64_t budget = RAM_BUDGET;
  for (pending_package* file : order) {
    if (file->length >= budget) continue;
    char target[4096];
    if (snprintf(target, sizeof target, "%s/%s", RAM_DISK, base_name(file->path)) >=
        (int)sizeof target)
      continue;
    if (!move_file(file->path.c_str(), target)) continue;
    file->previous_path = file->path;
    file->path = target;
    budget -= file->length;
  }
}

vector<const package_record*> listed_records() {
  vector<const package_record*> records;
  for (const package_record* record : the_repository().packages) records.push_back(record);
  return records;
}

// Whether the install just made came from this file. The exit status cannot
// tell: a refused package whose name stays installed also gives 0. The
// file was installed when the repository now lists a record that was not
// listed before the attempt, named after the file's package (for a bundle,
// the bundle), with the file's version and build time. Addresses suffice to
// tell old records from new: the install transaction allocates the record
// of the file's package, or of its bundle, before it frees any listed
// record, so that record cannot reuse the address of one listed before. A
// reinstall of the same version (with "/DOWNGRADE") therefore counts, a
// refusal never does, and neither does a bundle without any member present
// afterwards (status 3), although its own record was written.
bool is_installed_from(const pending_package& file, const vector<const package_record*>& before) {
  for (const package_record* record : the_repository().packages) {
    if (record->name != file.name || record->version != file.version ||
        record->build_time != file.build_time)
      continue;
    bool was_listed = false;
    for (const package_record* old : before)
      if (old == record) was_listed = true;
    if (!was_listed) return true;
  }
  return false;
}

bool install_waiting_file(pending_package& file, bool downgrade_mode) {
  file_input_stream package(file.path.c_str());
  if (!package.is_open()) return false;
  const vector<const package_record*> before = listed_records();
  const int status = install_package_stream(package, downgrade_mode);
  package.close();
  return status == 0 && is_installed_from(file, before);
}

// An installed file is deleted; any other goes back to where it came from
// (a file never moved stays where it is).
void install_in_order(linked_list<pending_package>& order, bool downgrade_mode) {
  for (pending_package* file : order) {
    if (install_waiting_file(*file, downgrade_mode)) {
      unlink(file->path.c_str());
    } else if (!file->previous_path.empty() &&
               move_file(file->path.c_str(), file->previous_path.c_str())) {
      file->path = file->previous_path;
      file->previous_path.clear();
    }
  }
}

// The router has no software left: its start must not go on. Printed
// straight to the terminal, even in quiet mode, and never logged.
[[noreturn]] void halt_router_start() {
  standard_output << "\n"
                  << "ERROR: router installation failed!!!\n"
                  << "Please, reinstall." << endl;
  // Waits for nothing but the signal that ends the process.
  for (;;) pause();
}

void free_records(linked_list<pending_package>& list) {
  for (pending_package* record : list) delete record;
  list.clear();
}

}  // namespace

bool read_pending_header(pending_package& record, const char* path) {
  record.path = path;
  file_input_stream file(path);
  package_reader reader(file);
  record.length = reader.total_size();
  struct stat status;
  if (stat(path, &status) == 0 && (uint64_t)status.st_size != record.length) return false;
  record.unrecorded = reader.is_unrecorded();
  static const int wanted[] = {SECTION_BUNDLE_HEADER, SECTION_PACKAGE_HEADER,
                               SECTION_ARCHITECTURE, SECTION_DEPENDENCIES, SECTION_CONFLICTS};
  for (int type : wanted) reader.add_wanted_type(type);
  const int first = reader.next_wanted_section();
  if (!read_header_block(reader, record)) return false;
  if (first != SECTION_BUNDLE_HEADER) return true;
  while (reader.current_type() == SECTION_PACKAGE_HEADER) {
    package_header member;
    if (!read_header_block(reader, member)) return false;
    record.members.push_back(member);
  }
  return !record.members.empty();
}

bool move_file(const char* from, const char* to) {
  file_input_stream source(from);
  if (!source.is_open()) return false;
  struct stat source_status, target_status;
  if (fstat(source.fd(), &source_status) != 0) return false;
  // Truncating the target would empty the source itself.
  if (stat(to, &target_status) == 0 && target_status.st_dev == source_status.st_dev &&
      target_status.st_ino == source_status.st_ino)
    return false;
  file_output_stream target(to);
  if (!target.is_open()) return false;
  target << source.rdbuf();
  target.close();
  // A read error ends the copy early without failing the output stream, so
  // only a copy of the source's whole size may replace it.
  if (target.fail() || stat(to, &target_status) != 0 ||
      target_status.st_size != source_status.st_size) {
    unlink(to);
    return false;
  }
  source.close();
  unlink(from);
  return true;
}

void resume_message_log() {
  {
    file_input_stream previous(MESSAGE_LOG_FILE);
    string line;
    // A last line without its newline fails and is dropped.
    while (previous.is_open() && !previous.getline(line).fail())
      the_repository().message_log.push_back(line);
  }
  static const char zeros[MESSAGE_LOG_RESERVE] = {};
  file_output_stream reserve(MESSAGE_LOG_FILE);
  reserve.write(zeros, sizeof zeros);
  reserve.close();
}

bool provides(const pending_package& f, const string& name) {
  return f.name == name || has_member_named(f, name);
}

bool preferred_over(const pending_package& f, const pending_package& g, bool downgrade_mode) {
  const package_header* x = nullptr;
  if (f.name == g.name) {
    x = &f;
  } else {
    for (const package_header& member : f.members)
      if (member.name == g.name) {
        x = &member;
        break;
      }
  }
  const bool newer = x && is_newer(*x, g);
  return downgrade_mode ? !newer : newer;
}

bool depends_on(const pending_package& f, const pending_package& g) {
  if (meets_any(g, f.dependencies)) return true;
  for (const package_header& member : g.members)
    if (meets_any(member, f.dependencies)) return true;
  for (const package_header& member : f.members)
    if (meets_any(g, member.dependencies)) return true;
  return false;
}

bool conflicts_with(const pending_package& f, const pending_package& g) {
  if (meets_any(g, f.conflicts)) return true;
  if (has_member_named(g, f.name)) return true;
  for (const package_header& member : f.members)
    if (meets_any(g, member.conflicts)) return true;
  return false;
}

void order_pending_packages(linked_list<pending_package>& collected,
                            linked_list<pending_package>& order, bool downgrade_mode) {
  while (!collected.empty()) {
    pending_position last = collected.end();
    --last;
    pending_package* t = *last;
    collected.erase(last);
    place_in_order(t, order, downgrade_mode);
  }
}

void process_pending_packages() {
  const bool downgrade_mode = take_downgrade_marker();
  linked_list<pending_package> collected;
  linked_list<pending_package> order;
  collect_waiting_files(collected);
  order_pending_packages(collected, order, downgrade_mode);
  move_to_ram_disk(order);
  sync();
  if (!order.empty()) resume_message_log();
  install_in_order(order, downgrade_mode);
  if (the_repository().packages.empty()) halt_router_start();
  free_records(order);
}
