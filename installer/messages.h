// How the installer reports: a status line redrawn in place, plain, warning
// and error messages on standard output, and the message log written to
// "/postlog" at the end of the run.
#pragma once

#include "foundation/string.h"

class package_reader;
struct package_record;

// Replaces the status line (hides the cursor while redrawing, blanks what
// the old line had beyond the new one).
void set_status_line(const char* text);

// printf-style; the formatted text is cut to 255 characters, the prefix is
// added outside that limit. log_info and log_error first empty the status
// line; a warning leaves it and redraws it below the message.
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes every logged message to "/postlog".
void finish_run();

// Reports a failed write by the error code at hand: disk full, disk error,
// or "could not create <item>: <error text>".
void report_write_failure(const package_record& record, const char* item, int error);
void report_broken_package(const package_record& record);

// The progress bar of an install: "installing <label> [###   ]", 77 characters.
string progress_bar(const string& label, const package_reader& reader);
