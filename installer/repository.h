// The in-memory state of one installer run: the installed packages, the
// files in use, the status line and the message log.
#pragma once

#include "foundation/linked_list.h"
#include "foundation/string.h"
#include "foundation/tree.h"
#include "foundation/vector.h"
#include "installer/package_record.h"

// Created on first use and never freed. Owns every record in packages;
// records move between packages and working lists by pointer.
struct repository {
  linked_list<package_record> packages;  // in load or install order
  string_set files_in_use;
  string status_line;
  vector<string> message_log;
  bool quiet = false;
};

repository& the_repository();
