#include "installer/removal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "installer/database.h"
#include "installer/messages.h"
#include "installer/own_files.h"
#include "installer/paths.h"
#include "installer/placement.h"
#include "installer/repository.h"
#include "installer/signals.h"
#include "installer/validity.h"

namespace {

bool depends_on(const package_record& package, const package_record& other) {
  for (const requirement_entry& dependency : package.dependencies)
    if (satisfies(other, dependency)) return true;
  return false;
}

typedef linked_list<package_record>::iterator record_position;

record_position position_of(linked_list<package_record>& list, const package_record* record) {
  for (record_position it = list.begin(); it != list.end(); ++it)
    if (*it == record) return it;
  return list.end();
}

// Moves one record from its place in whatever list holds it to the end of `to`.
void move_to_end(record_position position, linked_list<package_record>& to) {
  record_position next = position;
  ++next;
  to.splice(to.end(), position, next);
}

}  // namespace

void order_for_removal(linked_list<package_record>& removal) {
  // Single insertion pass from the last package backwards: each goes in
  // front of the first ordered package it depends on, else to the end.
  linked_list<package_record> ordered;
  while (!removal.empty()) {
    record_position last = removal.end();
    --last;
    package_record* package = *last;
    record_position place = ordered.begin();
    while (place != ordered.end() && !depends_on(*package, **place)) ++place;
    ordered.splice(place, last, removal.end());
  }
  removal.swap(ordered);
}

void uninstall_packages(linked_list<package_record>& removal, removal_report report) {
  const held_signals hold;
  linked_list<package_record> ordered;
  ordered.swap(removal);
  order_for_removal(ordered);
  for (package_record* package : ordered) {
    string label = package_label(*package);
    if (report == REPORT_REMOVALS) {
      string status("uninstalling ");
      status.append(label);
      status.append("...");
      set_status_line(status.c_str());
    }
    remove_package_installation(*package);
    if (report == REPORT_REMOVALS) log_info("uninstalled %s", label.c_str());
    delete package;
  }
  ordered.clear();
}

void remove_invalid_packages(removal_report report, const package_record* keep) {
  linked_list<package_record>& installed = the_repository().packages;
  linked_list<package_record> removal;
  record_position it = installed.begin();
  while (it != installed.end()) {
    record_position next = it;
    ++next;
    if (!(*it)->valid && *it != keep) removal.splice(removal.end(), it, next);
    it = next;
  }
  uninstall_packages(removal, report);
  sync();
}

namespace {

// Moves every installed package of the removal candidates' bundles that
// would be left without members: a bundle goes with its last member.
void complete_bundles(linked_list<package_record>& installed,
                      linked_list<package_record>& removal) {
  for (record_position it = removal.begin(); it != removal.end(); ++it) {
    const string& bundle = (*it)->bundle.name;
    if (bundle.empty()) continue;
    bool member_left = false;
    for (package_record* package : installed)
      if (package->bundle.name == bundle) member_left = true;
    if (member_left) continue;
    package_record* bundle_record = find_package(bundle);
    if (bundle_record) move_to_end(position_of(installed, bundle_record), removal);
  }
}

// The first queued package that a valid installed package depends on by
// name; reports the pair.
bool find_kept_dependency(linked_list<package_record>& removal, package_record** kept,
                          package_record** dependent) {
  for (package_record* candidate : removal)
    for (package_record* installed : the_repository().packages) {
      if (!installed->valid) continue;
      for (const requirement_entry& dependency : installed->dependencies)
        if (dependency.name == candidate->name) {
          *kept = candidate;
          *dependent = installed;
          return true;
        }
    }
  return false;
}

// Keeps every queued package that a remaining package still needs, with its
// whole bundle. False when nothing is left to remove.
bool keep_dependencies(linked_list<package_record>& installed,
                       linked_list<package_record>& removal) {
  package_record* kept;
  package_record* dependent;
  while (!removal.empty() && find_kept_dependency(removal, &kept, &dependent)) {
    log_warning("can not uninstall %s: %s depends on it", kept->name.c_str(),
                package_label(*dependent).c_str());
    move_to_end(position_of(removal, kept), installed);
    const string key = kept->bundle.name.empty() ? kept->name : kept->bundle.name;
    record_position it = removal.begin();
    while (it != removal.end()) {
      record_position next = it;
      ++next;
      if ((*it)->name == key || (*it)->bundle.name == key) move_to_end(it, installed);
      it = next;
    }
  }
  return !removal.empty();
}

}  // namespace

namespace {

// The entries of the queue directory, read before any removal. Only a
// regular file is a request; anything else there (a directory a failed
// upgrade left, a link, a FIFO) is removed, or reported when it cannot be,
// and never obeyed. Each request is deleted when it is settled, so that a
// run cut short leaves the rest for the next start, and a request is acted
// on once: one whose entry cannot be deleted is reported.
class removal_queue {
 public:
  removal_queue() : fd_(open_own_directory(QUEUE_DIRECTORY)) {}
  ~removal_queue() {
    if (fd_ >= 0) close(fd_);
  }
  removal_queue(const removal_queue&) = delete;
  removal_queue& operator=(const removal_queue&) = delete;

  // The names of the requests, in directory order.
  void read(vector<string>& requests) {
    if (fd_ < 0) return;
    const int listing_fd = dup(fd_);
    DIR* listing = listing_fd >= 0 ? fdopendir(listing_fd) : nullptr;
    if (!listing) {
      if (listing_fd >= 0) close(listing_fd);
      return;
    }
    while (dirent* entry = readdir(listing)) {
      const char* name = entry->d_name;
      if (name[0] == '.') continue;
      struct stat status;
      if (fstatat(fd_, name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
      // A name too long for an entry path of 80 bytes cannot be a package
      // name: the entry is only deleted, never cut short into another name.
      if (!S_ISREG(status.st_mode) || strlen(name) > MAXIMUM_NAME_LENGTH) {
        settle(name, S_ISDIR(status.st_mode));
        continue;
      }
      requests.push_back(string(name));
    }
    closedir(listing);
  }

  void settle(const char* name, bool is_directory = false) {
    if (unlinkat(fd_, name, is_directory ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT)
      log_warning("could not remove %s/%s: %s", QUEUE_DIRECTORY, name, strerror(errno));
  }

 private:
  // An entry path is formed as "/var/deinstall/%s" in 80 bytes.
  static constexpr size_t MAXIMUM_NAME_LENGTH = 80 - sizeof "/var/deinstall/";
  int fd_;  // owned
};

}  // namespace

void process_removal_queue() {
  const held_signals hold;
  removal_queue queue;
  vector<string> requests;
  queue.read(requests);
  linked_list<package_record>& installed = the_repository().packages;
  linked_list<package_record> removal;
  vector<const string*> pending;  // requests settled by the removal
  for (const string& name : requests) {
    package_record* package = find_package(name);
    if (!package) {
      queue.settle(name.c_str());
      continue;
    }
    move_to_end(position_of(installed, package), removal);
    record_position it = installed.begin();
    while (it != installed.end()) {
      record_position next = it;
      ++next;
      if ((*it)->bundle.name == name) move_to_end(it, removal);
      it = next;
    }
    pending.push_back(&name);
  }
  if (removal.empty()) return;
  complete_bundles(installed, removal);
  if (keep_dependencies(installed, removal)) {
    if (installed.empty()) {
      installed.splice(installed.end(), removal.begin(), removal.end());
      log_error("can not uninstall all packages");
    } else {
      uninstall_packages(removal, REPORT_REMOVALS);
    }
  }
  // Removed, or refused with its warning: every request is settled now.
  for (const string* name : pending) queue.settle(name->c_str());
}
