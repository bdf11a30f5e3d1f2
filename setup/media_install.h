// Installation from local media mounted at "/floppy": the hard-disk volume
// (and the questions asked before a disk is erased).
#pragma once

#include "setup/install_context.h"

// The IDE devices searched for a medium, in this order.
extern const char* const source_devices[];

// A volume holds at most this many packages: the hard-disk mode keeps them
// all in memory while the disk that held them is erased.
constexpr unsigned MAX_VOLUME_PACKAGES = 50;

// "Warning: all data on the disk will be erased!" and "Continue?".
bool confirm_erase(install_context& context);
// "Do you want to keep old configuration? ".
bool ask_keep_config(install_context& context);

// The packages chosen in the menu from the disc, with the old
// configuration kept when asked, onto the first disk.
[[nodiscard]] bool install_from_cdrom(install_context& context);

// Every package of the FAT volume, its "autorun.scr" and its "mbr" are read
// into memory, the volume's first sector is replaced, and the router is
// installed onto the first disk without any dialogue. A volume holding
// "CHOOSE" shows the package menu instead and keeps its own first sector.
[[nodiscard]] bool install_from_hard_disk(install_context& context);
