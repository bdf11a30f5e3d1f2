// The places in the root that belong to the installer itself: the package
// database, the removal queue, the pending packages and their marker, the
// RAM disk they are installed from, and the message log. Packages may place
// nothing there, and the installer opens them without following links.
#pragma once

constexpr char DATABASE_DIRECTORY[] = "/var/pdb";
constexpr char QUEUE_DIRECTORY[] = "/var/deinstall";
constexpr char PENDING_DIRECTORY[] = "/var/pckg";
constexpr char RAM_DISK[] = "/ram";
constexpr char DOWNGRADE_MARKER[] = "/DOWNGRADE";
constexpr char MESSAGE_LOG_FILE[] = "/postlog";
// Where scripts send their output; opened and checked by the installer.
constexpr char NULL_DEVICE[] = "/dev/null";
