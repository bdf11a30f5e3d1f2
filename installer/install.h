// The install transaction: one package or bundle from a package stream.
#pragma once

#include "foundation/streams.h"
#include "installer/package_record.h"

// The exit status of an install run.
enum install_status {
  INSTALL_DONE = 0,            // installed, or a package of its name stays installed
  INSTALL_FAILED = 1,          // unreadable, or not installed
  INSTALL_BUNDLE_REFUSED = 2,  // the bundle itself cannot be installed
  INSTALL_BUNDLE_EMPTY = 3,    // a bundle of which no member is installed
};

// Reads a package or bundle from the stream and installs it.
install_status install_package_stream(input_stream& stream, version_mode mode);
