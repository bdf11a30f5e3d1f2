// The package database under "/var/pdb/": one directory per installed
// package with plain text files a shell script could read.
#pragma once

#include "foundation/string.h"
#include "installer/package_record.h"

class input_stream;

// Loads every record under "/var/pdb/" into the repository; warns "could not
// open repo" and leaves the list empty when the directory cannot be opened.
void open_repository(bool quiet);

// Fills a record that holds only its name; what cannot be read makes it
// invalid.
void load_package_record(package_record& record);

// Reads a "files" list into files: one path per line up to "\n" or the end
// of the data, empty lines skipped, a "/" put in front of a line without
// one; a path already present is not added again.
void read_file_list(input_stream& in, string_set& files);

// Whether a record lists files: a bundle's record has none.
enum record_files { WITH_FILES, WITHOUT_FILES };

// Writes "deps", "conflicts", "bundle", "files" (unless WITHOUT_FILES) and,
// last, "version". The directory must exist. Reports and returns false.
[[nodiscard]] bool write_package_record(const package_record& record, record_files files);

// The two halves of write_package_record: everything but "version", and
// "version" alone. A record without "version" loads as invalid, so a bundle
// writes it only once its members are in place.
[[nodiscard]] bool write_record_body(const package_record& record, record_files files);
[[nodiscard]] bool write_record_version(const package_record& record);

// Unlinks "version" first: a removal cut short then leaves a record that
// loads as invalid and is finished at the next start.
void invalidate_package_record(const package_record& record);

// Creates "/var/pdb/<name>" (0770) when it does not exist.
[[nodiscard]] bool create_package_directory(const package_record& record);

// Removes everything in the package's directory, then the directory; a
// record entry that is not a directory is unlinked, never followed. A
// directory that cannot be removed is renamed to a hidden name, so that no
// later start loads it; that is reported, and the result is false.
bool delete_package_record(const package_record& record);
