// The disk side of one package: placing its files, storing and running its
// scripts, removing its files again.
#pragma once

#include <stdint.h>

#include "installer/package_record.h"
#include "package_format/package_reader.h"

// Creates the entries of the file data section the reader stands at, with
// owners, modes and times; collisions with other packages' files are
// skipped, files nobody owns are replaced. Reports and returns false; what
// was placed stays in the file set for the caller to undo.
[[nodiscard]] bool place_files(package_record& record, package_reader& reader);

// Stores the script section the reader stands at as "/var/pdb/<name>/<script_name>".
[[nodiscard]] bool write_script(package_record& record, package_reader& reader, uint32_t length,
                                const char* script_name);

// Stores it in a new temporary file of its own under "/tmp" instead, whose
// path is set: for a package without a record. The caller deletes it.
[[nodiscard]] bool write_temporary_script(package_record& record, package_reader& reader,
                                          uint32_t length, const char* script_name, string& path);

// True when there is no such script or it exited with status 0; warns
// otherwise (also when what is there is not a regular file). The script's
// output goes to the null device.
bool run_script(const package_record& record, const char* script_name);
bool run_script_file(const package_record& record, const char* path, const char* script_name);

// Unlinks the record's files, parking the ones in use under "/tmp/inst%u".
void remove_package_files(package_record& record);

// Uninstall script, files, database directory; for a damaged record only
// its entry. False, after a warning, when the record could not be deleted.
bool remove_package_installation(package_record& record);
