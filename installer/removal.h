// Taking packages off the router: removal of invalid packages, the order in
// which a set of packages is removed, and the removal queue.
#pragma once

#include "foundation/linked_list.h"
#include "installer/package_record.h"

// Whether each removal shows on the status line and in the log
// ("uninstalled ...").
enum removal_report { QUIET_REMOVALS, REPORT_REMOVALS };

// Puts a package before the packages it depends on: one insertion pass from
// the last package backwards, each placed in front of the first already
// ordered package it depends on, else at the end. Not a full topological
// sort: a package depending on one placed later may still come after it.
void order_for_removal(linked_list<package_record>& removal);

// Orders the list so that a package goes before the packages it depends on
// (one insertion pass), removes each from disk and frees the records. The
// list is left empty.
void uninstall_packages(linked_list<package_record>& removal, removal_report report);

// Takes every invalid package out of the installed list and removes them;
// never touches `keep`, which stays listed whatever its validity.
void remove_invalid_packages(removal_report report, const package_record* keep = nullptr);

// The queue step: removes the packages named in "/var/deinstall/".
void process_removal_queue();
