// Pending packages: package files dropped into "/var/pckg/", installed at
// the next start in an order that respects their requirements.
#pragma once

#include <stdint.h>

#include "foundation/linked_list.h"
#include "foundation/string.h"
#include "foundation/vector.h"
#include "installer/package_record.h"
#include "package_format/package_header.h"

// One waiting file: its header block, where the file is, and for a bundle
// the header block of every member in file order.
struct pending_package : package_header {
  string path;           // where the file is now
  string previous_path;  // empty until moved to "/ram"; then where it came from
  uint64_t length = 0;   // total size from the file header (stored length plus 8)
  bool unrecorded = false;
  vector<package_header> members;
};

// Reads every waiting file's header, orders them, moves what fits the RAM
// budget to "/ram", installs them one by one, deletes what was installed and
// puts back what was not. Halts the router's start when no package at all is
// installed afterwards.
void process_pending_packages();

// Fills record from the file at path. False for a broken file: unreadable
// header, a size on disk that differs from the header's, or a bundle without
// any member header.
[[nodiscard]] bool read_pending_header(pending_package& record, const char* path);

// Copies from to to and deletes from. False, with nothing changed, when from
// cannot be opened or to cannot be created; false, with to deleted, when the
// copy is incomplete.
[[nodiscard]] bool move_file(const char* from, const char* to);

// Keeps the previous "/postlog" in the message log and reserves the file
// with a block of zero bytes until the run writes it.
void resume_message_log();

// The relations between two waiting files that decide the install order.
bool provides(const pending_package& f, const string& name);
bool preferred_over(const pending_package& f, const pending_package& g, version_mode mode);
bool depends_on(const pending_package& f, const pending_package& g);
bool conflicts_with(const pending_package& f, const pending_package& g);

// Empties collected (last collected first) into order: each file goes right
// behind the last placed file it must follow, else to the front; an
// unrecorded file goes to the end. Never deletes the records.
void order_pending_packages(linked_list<pending_package>& collected,
                            linked_list<pending_package>& order, version_mode mode);
