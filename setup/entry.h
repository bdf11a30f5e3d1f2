// Start-up of setup, the choice of installation mode, the welcome screen
// and the way out (a restart of the machine).
#pragma once

#include "setup/install_context.h"

// Runs exactly one mode: "-hdd-install" among the arguments, else the mode
// word in "/TYPE"; waits for ENTER afterwards where the mode asks for it.
void select_mode(install_context& context, int argc, char** argv);

// The screen every mode but the CD-ROM starts with.
void show_welcome(const char* mode_word);

// The first line of "/TYPE" without its line end, at most 79 characters;
// empty when the file is missing.
void read_mode_word(char* word, size_t size);

// Chooses the console: the virtual console when there is one, otherwise
// the serial line (and child output is discarded).
void choose_console();

// The whole run: console, signals, modules, mode, restart.
int setup_main(int argc, char** argv);
