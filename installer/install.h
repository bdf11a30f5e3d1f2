// The install transaction: one package or bundle from a package stream.
#pragma once

#include "foundation/streams.h"
#include "installer/package_record.h"
#include "package_format/package_reader.h"

// Reads a package or bundle from the stream and installs it. Returns the
// exit status: 0 installed (or its name is installed), 1 unreadable or not
// installed, 2 bundle refused, 3 bundle without any member present.
int install_package_stream(input_stream& stream, bool downgrade_mode);

// True when the package may be installed; prints the reason otherwise.
bool check_installable(const package_record& record, bool downgrade_mode, bool standalone);

// Returns the installed record, the record of the same name that stays
// installed when this one is refused, or none.
package_record* install_single_package(package_reader& reader, bool downgrade_mode,
                                       const bundle_reference* bundle);

int install_bundle(package_reader& reader, bool downgrade_mode);
