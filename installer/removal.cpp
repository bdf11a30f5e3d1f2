#include "installer/removal.h"

#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

#include "installer/database.h"
#include "installer/messages.h"
#include "installer/placement.h"
#include "installer/repository.h"

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

void uninstall_packages(linked_list<package_record>& removal, bool verbose) {
  linked_list<package_record> ordered;
  ordered.swap(removal);
  order_for_removal(ordered);
  for (package_record* package : ordered) {
    string label = package_label(*package);
    if (verbose) {
      string status("uninstalling ");
      status.append(label);
      status.append("...");
      set_status_line(status.c_str());
    }
    remove_package_installation(*package);
    if (verbose) log_info("uninstalled %s", label.c_str());
    delete package;
  }
  ordered.clear();
}

void remove_invalid_packages(bool verbose, const package_record* keep) {
  linked_list<package_record>& installed = the_repository().packages;
  linked_list<package_record> removal;
  record_position it = installed.begin();
  while (it != installed.end()) {
    record_position next = it;
    ++next;
    if (!(*it)->valid && *it != keep) removal.splice(removal.end(), it, next);
    it = next;
  }
  uninstall_packages(removal, verbose);
  sync();
}

namespace {

// Moves every installed package of the removal candidates' bundles that
// would be left without members: a bundle goes with its last member.
void complete_bundles(linked_list<package_record>& installed, linked_list<package_record>& removal) {
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
bool keep_dependencies(linked_list<package_record>& installed, linked_list<package_record>& removal) {
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

void process_removal_queue() {
  DIR* queue = opendir("/var/deinstall/");
  if (!queue) return;
  linked_list<package_record>& installed = the_repository().packages;
  linked_list<package_record> removal;
  while (dirent* entry = readdir(queue)) {
    if (entry->d_name[0] == '.') continue;
    char path[80];
    // A name too long for the path cannot be a package name: the entry is
    // only deleted, never cut short into another package's name.
    if (snprintf(path, sizeof path, "/var/deinstall/%s", entry->d_name) >= (int)sizeof path) {
      string long_path("/var/deinstall/");
      long_path.append(entry->d_name);
      unlink(long_path.c_str());
      continue;
    }
    string name(entry->d_name);
    if (package_record* package = find_package(name)) {
      move_to_end(position_of(installed, package), removal);
      record_position it = installed.begin();
      while (it != installed.end()) {
        record_position next = it;
        ++next;
        if ((*it)->bundle.name == name) move_to_end(it, removal);
        it = next;
      }
    }
    unlink(path);
  }
  closedir(queue);
  if (removal.empty()) return;
  complete_bundles(installed, removal);
  if (!keep_dependencies(installed, removal)) return;
  if (installed.empty()) {
    installed.splice(installed.end(), removal.begin(), removal.end());
    log_error("can not uninstall all packages");
    return;
  }
  uninstall_packages(removal, true);
}
