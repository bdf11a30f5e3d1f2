#include "installer/install.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "foundation/owned.h"
#include "installer/database.h"
#include "installer/messages.h"
#include "installer/placement.h"
#include "installer/removal.h"
#include "installer/repository.h"
#include "installer/signals.h"
#include "installer/validity.h"
#include "package_format/version.h"

namespace {

typedef linked_list<package_record>::iterator record_position;

const char ARCHITECTURE[] = "i386";

record_position position_of(const package_record* record) {
  linked_list<package_record>& list = the_repository().packages;
  for (record_position it = list.begin(); it != list.end(); ++it)
    if (*it == record) return it;
  return list.end();
}

void drop_from_list(package_record* record) {
  record_position position = position_of(record);
  if (position != the_repository().packages.end()) the_repository().packages.erase(position);
}

// Steps 3 and 4 of the checks: dependencies met by valid installed
// packages, and no installed package conflicting with this one.
bool check_requirements(const package_record& record) {
  for (const requirement_entry& dependency : record.dependencies) {
    package_record* provider = find_package(dependency.name);
    if (!provider || !provider->valid || !satisfies(*provider, dependency)) {
      log_error("can not install %s: %s is not installed, but is required",
                package_label(record).c_str(), requirement_label(dependency).c_str());
      return false;
    }
  }
  if (package_record* conflicting = conflicting_package(record)) {
    log_error("can not install %s: it conflicts with %s", package_label(record).c_str(),
              package_label(*conflicting).c_str());
    return false;
  }
  return true;
}

// After a refusal inside a bundle: on to the next member, or the end.
void skip_to_next_member(package_reader& reader) {
  while (!reader.fail() && reader.current_type() != SECTION_PACKAGE_HEADER)
    reader.next_wanted_section();
}

// The install script of a package without a record: it lives in a
// temporary file of its own, never in "/var/pdb/" where a recorded package
// of the same name keeps its scripts, and goes when the install ends.
struct temporary_script {
  string path;  // empty when there is none
  temporary_script() = default;
  temporary_script(const temporary_script&) = delete;
  temporary_script& operator=(const temporary_script&) = delete;
  ~temporary_script() {
    if (!path.empty()) unlink(path.c_str());
  }
};

bool store_script(package_record& record, package_reader& reader, const char* script_name,
                  temporary_script& temporary) {
  const uint32_t length = reader.current_length();
  bool stored;
  if (!record.unrecorded) {
    stored = write_script(record, reader, length, script_name);
  } else if (strcmp(script_name, "oninstall") == 0) {
    stored = write_temporary_script(record, reader, length, script_name, temporary.path);
  } else {
    // Nothing records the package, so nothing could ever run its uninstall
    // script: it is not kept, only checked to be there.
    stored = length <= reader.file_remaining();
    if (!stored) report_broken_package(record);
  }
  if (stored) {
    reader.next_wanted_section();
    return true;
  }
  report_write_failure(record, script_name, errno);
  remove_package_installation(record);
  return false;
}

bool install_body(package_record& record, package_reader& reader, bool standalone) {
  const bool unrecorded = record.unrecorded;
  const string label = failure_label(record);
  set_status_line(progress_bar(label, reader).c_str());
  if (!unrecorded && !create_package_directory(record)) return false;
  temporary_script temporary;
  if (reader.current_type() == SECTION_INSTALL_SCRIPT &&
      !store_script(record, reader, "oninstall", temporary))
    return false;
  if (reader.current_type() == SECTION_UNINSTALL_SCRIPT &&
      !store_script(record, reader, "onuninstall", temporary))
    return false;
  if (reader.current_type() == SECTION_FILE_DATA) {
    // A section longer than the rest of the file cannot be genuine.
    if (reader.current_length() > reader.file_remaining()) {
      report_broken_package(record);
      remove_package_installation(record);
      return false;
    }
    if (!place_files(record, reader)) {
      remove_package_installation(record);
      return false;
    }
    reader.next_wanted_section();
  }
  if (!unrecorded && !write_package_record(record, WITH_FILES)) {
    remove_package_installation(record);
    return false;
  }
  sync();
  if (!unrecorded)
    run_script(record, "oninstall");
  else if (!temporary.path.empty())
    run_script_file(record, temporary.path.c_str(), "oninstall");
  if (standalone) {
    set_status_line("");
    log_info("installed %s", package_label(record).c_str());
  }
  return true;
}

// Takes the installed version out and removes what depended on it in a way
// the new version does not meet. When the new record itself would turn
// invalid, nothing is removed: validity is restored, the old version goes
// back to its place, and the install is refused with the reason.
bool replace_installed(package_record* record) {
  linked_list<package_record>& packages = the_repository().packages;
  package_record* old = find_package(record->name);
  record_position old_next = packages.end();
  if (old) {
    old_next = position_of(old);
    ++old_next;
    drop_from_list(old);
  }
  vector<package_record*> was_valid;
  for (package_record* package : packages)
    if (package->valid) was_valid.push_back(package);
  packages.push_back(record);
  revalidate_packages();
  if (!record->valid) {
    // The reason is what the revalidation found: a requirement that the
    // removal of the old version's dependents would take away.
    drop_from_list(record);
    if (check_requirements(*record))
      log_error("can not install %s: its requirements are not met", package_label(*record).c_str());
    for (package_record* package : was_valid) package->valid = true;
    if (old) packages.insert(old_next, old);
    record->valid = true;
    return false;
  }
  remove_invalid_packages(QUIET_REMOVALS, record);
  if (old) {
    remove_package_installation(*old);
    delete old;
  }
  drop_from_list(record);
  return true;
}

bool has_valid_name(package_record& record, bool member, package_reader& reader) {
  if (has_valid_names(record)) return true;
  report_broken_package(record);
  if (member) skip_to_next_member(reader);
  return false;
}

// True when the package may be installed; prints the reason otherwise.
bool check_installable(const package_record& record, version_mode mode, bool standalone) {
  if (package_record* installed = find_package(record.name)) {
    if (is_newer(record, *installed)) {
      if (mode == DOWNGRADE_MODE) {
        log_warning("omitting package %s: older package is already installed",
                    package_label(record).c_str());
        return false;
      }
    } else if (mode == UPGRADE_MODE) {
      if (is_newer(*installed, record))
        log_warning("omitting package %s: newer package %s is already installed",
                    package_label(record).c_str(), package_label(*installed).c_str());
      else
        log_warning("omitting package %s: it is already installed", package_label(record).c_str());
      return false;
    }
  }
  if (!record.architecture.empty() && record.architecture != ARCHITECTURE) {
    if (standalone)
      log_error("can not install %s: it is not made for %s, but for %s",
                package_label(record).c_str(), ARCHITECTURE, record.architecture.c_str());
    return false;
  }
  return check_requirements(record);
}

// Returns the installed record, the record of the same name that stays
// installed when this one is refused, or none. A package on its own has
// no bundle.
package_record* install_single_package(package_reader& reader, version_mode mode,
                                       const bundle_reference* bundle) {
  owned<package_record> record(new package_record);
  if (bundle) record->bundle = *bundle;
  record->unrecorded = reader.is_unrecorded();
  if (!read_header_block(reader, *record)) return nullptr;
  if (!has_valid_name(*record, bundle != nullptr, reader)) return nullptr;
  if (!check_installable(*record, mode, bundle == nullptr) ||
      (!record->unrecorded && !replace_installed(record.get()))) {
    if (bundle) skip_to_next_member(reader);
    return find_package(record->name);
  }
  if (!install_body(*record, reader, bundle == nullptr)) return nullptr;
  package_record* installed = record.release();
  the_repository().packages.push_back(installed);
  revalidate_packages();
  remove_invalid_packages(REPORT_REMOVALS);
  // The record is gone if the revalidation found it invalid after all.
  return position_of(installed) != the_repository().packages.end() ? installed : nullptr;
}

// The bundle's own record before its members: the installed version goes,
// the directory and every file but "version" are written, and the record
// is listed. The bundle's "version" waits until its members are in place: a
// run cut short between members leaves a bundle that loads as invalid and
// goes with its members at the next start, instead of one that looks
// complete.
bool start_bundle_record(package_record* bundle) {
  if (package_record* installed = find_package(bundle->name)) {
    remove_package_installation(*installed);
    drop_from_list(installed);
    delete installed;
  }
  if (!create_package_directory(*bundle)) return false;
  if (!write_record_body(*bundle, WITHOUT_FILES)) {
    remove_package_installation(*bundle);
    return false;
  }
  if (package_record* listed = find_package(bundle->name)) {
    drop_from_list(listed);
    delete listed;
  }
  the_repository().packages.push_back(bundle);
  return true;
}

// Installs the members that follow; returns how many of them are installed
// now (newly or already), and takes those out of `previous_members`.
unsigned install_members(package_reader& reader, version_mode mode,
                         const bundle_reference& reference, string_set& previous_members) {
  unsigned members = 0;
  // A member whose header cannot be read leaves the reader failed at the
  // same section; the failed state ends the loop.
  while (!reader.fail() && reader.current_type() == SECTION_PACKAGE_HEADER) {
    if (package_record* member = install_single_package(reader, mode, &reference)) {
      previous_members.erase(member->name);
      ++members;
    }
  }
  return members;
}

install_status install_bundle(package_reader& reader, version_mode mode) {
  owned<package_record> bundle(new package_record);
  if (!read_header_block(reader, *bundle)) return INSTALL_FAILED;
  const string label = bundle_label(bundle->name, bundle->version);
  if (!has_valid_names(*bundle)) {
    log_error("installation of %s failed: broken package", label.c_str());
    return INSTALL_FAILED;
  }
  if (!check_installable(*bundle, mode, true)) return INSTALL_BUNDLE_REFUSED;
  if (!start_bundle_record(bundle.get())) return INSTALL_FAILED;
  package_record* record = bundle.release();
  bundle_reference reference;
  reference.name = record->name;
  reference.version = record->version;

  linked_list<package_record>& packages = the_repository().packages;
  string_set previous_members;
  for (package_record* package : packages)
    if (package->bundle.name == reference.name) previous_members.insert(package->name);
  const unsigned members = install_members(reader, mode, reference, previous_members);

  // A member's conflicts may have taken the bundle out already; then its
  // directory is gone as well.
  const bool bundle_listed = position_of(record) != packages.end();
  if (bundle_listed && !write_record_version(*record)) {
    // Without its record the bundle and everything installed in it go.
    record->valid = false;
    revalidate_packages();
    remove_invalid_packages(QUIET_REMOVALS);
    return INSTALL_FAILED;
  }
  if (members == 0) return INSTALL_BUNDLE_EMPTY;
  // Members of the previous version that this one no longer holds go.
  for (package_record* package : packages)
    if (previous_members.contains(package->name)) package->valid = false;
  revalidate_packages();
  remove_invalid_packages(QUIET_REMOVALS);
  set_status_line("");
  log_info("installed %s", label.c_str());
  return INSTALL_DONE;
}

}  // namespace

install_status install_package_stream(input_stream& stream, version_mode mode) {
  const held_signals hold;
  package_reader reader(stream);
  static const int wanted[] = {SECTION_PACKAGE_HEADER, SECTION_BUNDLE_HEADER,
                               SECTION_ARCHITECTURE,   SECTION_DEPENDENCIES,
                               SECTION_CONFLICTS,      SECTION_FILE_DATA,
                               SECTION_INSTALL_SCRIPT, SECTION_UNINSTALL_SCRIPT};
  for (int type : wanted) reader.add_wanted_type(type);
  if (reader.next_wanted_section() == SECTION_BUNDLE_HEADER) return install_bundle(reader, mode);
  return install_single_package(reader, mode, nullptr) ? INSTALL_DONE : INSTALL_FAILED;
}
