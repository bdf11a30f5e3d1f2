#include "installer/pending.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/streams.h"
#include "installer/install.h"
#include "installer/messages.h"
#include "installer/own_files.h"
#include "installer/paths.h"
#include "installer/repository.h"
#include "package_format/package_reader.h"

namespace {

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

// The marker applies to this run only: it goes as soon as it is seen, and
// only a regular file that could be deleted is obeyed, so that no marker
// acts at more than one start. Anything else there is no marker: it is
// removed, or reported when it cannot be.
bool take_downgrade_marker() {
  struct stat status;
  if (lstat(DOWNGRADE_MARKER, &status) != 0) return false;
  const bool is_marker = S_ISREG(status.st_mode);
  const int removed = S_ISDIR(status.st_mode) ? rmdir(DOWNGRADE_MARKER) : unlink(DOWNGRADE_MARKER);
  if (removed != 0) {
    log_warning("could not remove %s: %s", DOWNGRADE_MARKER, strerror(errno));
    return false;
  }
  return is_marker;
}

void collect_waiting_files(linked_list<pending_package>& collected) {
  const int directory_fd = open_own_directory(PENDING_DIRECTORY);
  if (directory_fd < 0) return;
  DIR* directory = fdopendir(directory_fd);
  if (!directory) {
    close(directory_fd);
    return;
  }
  while (dirent* entry = readdir(directory)) {
    if (!is_waiting_file_name(entry->d_name)) continue;
    string path(PENDING_DIRECTORY);
    path.append('/');
    path.append(entry->d_name);
    pending_package* record = new pending_package;
    // Only a regular file is a package file: a FIFO would stop the run for
    // ever, a link would install (and then delete) what it names.
    struct stat status;
    if (fstatat(directory_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode) && read_pending_header(*record, path.c_str())) {
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

// Whether t installs after x: x is the preferred file of t's name, t is a
// file of x's name that is not preferred, t needs x, or t conflicts with x.
bool must_follow(const pending_package& t, const pending_package& x, version_mode mode) {
  return (provides(x, t.name) && preferred_over(x, t, mode)) ||
         (provides(t, x.name) && !preferred_over(t, x, mode)) || depends_on(t, x) ||
         conflicts_with(t, x);
}

// T's place: right behind the first already placed file, from the back,
// that T must follow; the front when there is none.
void place_in_order(pending_package* t, linked_list<pending_package>& order, version_mode mode) {
  if (t->unrecorded) {
    order.push_back(t);
    return;
  }
  pending_position x = order.end();
  while (x != order.begin()) {
    --x;
    if (must_follow(*t, **x, mode)) {
      ++x;
      order.insert(x, t);
      return;
    }
  }
  order.push_front(t);
}

// Whether t needs x installed first: t depends on x, or x is the preferred
// file of t's name. These relations go one way; the insertion pass also
// weighs conflicts and the files that are not preferred, which can go both
// ways and are left to it.
bool needs_first(const pending_package& t, const pending_package& x, version_mode mode) {
  return depends_on(t, x) || (provides(x, t.name) && preferred_over(x, t, mode));
}

// Emits the order again with every recorded file after the recorded files
// it needs first, wherever they stand: the insertion pass looks only at the
// files placed before each one, so a file placed early (at the front, for
// want of a relation) can stand before a file that the one it needs must
// follow (a chain of three in the wrong directory order). The order is
// otherwise kept; an unrecorded file is never moved forward for another (it
// has no relation tests of its own), and a cycle of dependencies is cut
// where the walk meets it.
class order_settler {
 public:
  order_settler(linked_list<pending_package>& order, version_mode mode) : mode_(mode) {
    for (pending_package* file : order) files_.push_back(file);
    for (size_t i = 0; i < files_.size(); ++i) state_.push_back(NEW);
    order.clear();
    for (size_t i = 0; i < files_.size(); ++i) emit(i, order);
  }

 private:
  enum emit_state : unsigned char { NEW, IN_PROGRESS, EMITTED };

  void emit(size_t i, linked_list<pending_package>& order) {
    if (state_[i] != NEW) return;
    state_[i] = IN_PROGRESS;
    if (!files_[i]->unrecorded)
      for (size_t j = 0; j < files_.size(); ++j)
        if (state_[j] == NEW && !files_[j]->unrecorded &&
            needs_first(*files_[i], *files_[j], mode_))
          emit(j, order);
    state_[i] = EMITTED;
    order.push_back(files_[i]);
  }

  vector<pending_package*> files_;  // the order as placed; never owned
  vector<emit_state> state_;
  version_mode mode_;
};

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

bool install_waiting_file(pending_package& file, version_mode mode) {
  file_input_stream package(file.path.c_str(), OPEN_NO_FOLLOW);
  if (!open_own_file(package)) return false;
  const vector<const package_record*> before = listed_records();
  const int status = install_package_stream(package, mode);
  package.close();
  return status == 0 && is_installed_from(file, before);
}

// An installed file is deleted; any other goes back to where it came from
// (a file never moved stays where it is).
void install_in_order(linked_list<pending_package>& order, version_mode mode) {
  for (pending_package* file : order) {
    if (install_waiting_file(*file, mode)) {
      unlink(file->path.c_str());
    } else if (!file->previous_path.empty()) {
      if (!move_file(file->path.c_str(), file->previous_path.c_str())) {
        // The RAM disk does not survive the restart: say that the file is lost.
        log_error("could not move %s back to %s", file->path.c_str(), file->previous_path.c_str());
        continue;
      }
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
  file_input_stream file(path, OPEN_NO_FOLLOW);
  if (!open_own_file(file)) return false;
  package_reader reader(file);
  record.length = reader.total_size();
  struct stat status;
  if (fstat(file.fd(), &status) == 0 && (uint64_t)status.st_size != record.length) return false;
  record.unrecorded = reader.is_unrecorded();
  static const int wanted[] = {SECTION_BUNDLE_HEADER, SECTION_PACKAGE_HEADER, SECTION_ARCHITECTURE,
                               SECTION_DEPENDENCIES, SECTION_CONFLICTS};
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
  // Both ends are regular files reached without a link at their last
  // component: the copy must not write through a link into a record.
  file_input_stream source(from, OPEN_NO_FOLLOW);
  if (!open_own_file(source)) return false;
  struct stat source_status, target_status;
  if (fstat(source.fd(), &source_status) != 0) return false;
  // Truncating the target would empty the source itself.
  if (lstat(to, &target_status) == 0 && target_status.st_dev == source_status.st_dev &&
      target_status.st_ino == source_status.st_ino)
    return false;
  clear_own_path(to);
  file_output_stream target(to, OPEN_NO_FOLLOW);
  if (!is_regular_file(target.fd())) return false;
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
    file_input_stream previous(MESSAGE_LOG_FILE, OPEN_NO_FOLLOW);
    string line;
    // A last line without its newline fails and is dropped.
    if (open_own_file(previous))
      while (!previous.getline(line).fail()) the_repository().message_log.push_back(line);
  }
  static const char zeros[MESSAGE_LOG_RESERVE] = {};
  clear_own_path(MESSAGE_LOG_FILE);
  file_output_stream reserve(MESSAGE_LOG_FILE, OPEN_NO_FOLLOW);
  if (!is_regular_file(reserve.fd())) return;
  reserve.write(zeros, sizeof zeros);
  reserve.close();
}

bool provides(const pending_package& f, const string& name) {
  return f.name == name || has_member_named(f, name);
}

bool preferred_over(const pending_package& f, const pending_package& g, version_mode mode) {
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
  return mode == DOWNGRADE_MODE ? !newer : newer;
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
                            linked_list<pending_package>& order, version_mode mode) {
  while (!collected.empty()) {
    pending_position last = collected.end();
    --last;
    pending_package* t = *last;
    collected.erase(last);
    place_in_order(t, order, mode);
  }
  order_settler settle(order, mode);
}

void process_pending_packages() {
  const version_mode mode = take_downgrade_marker() ? DOWNGRADE_MODE : UPGRADE_MODE;
  linked_list<pending_package> collected;
  linked_list<pending_package> order;
  collect_waiting_files(collected);
  order_pending_packages(collected, order, mode);
  move_to_ram_disk(order);
  sync();
  if (!order.empty()) resume_message_log();
  install_in_order(order, mode);
  if (the_repository().packages.empty()) halt_router_start();
  free_records(order);
}
