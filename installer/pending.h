// Pending packages: package files dropped into "/var/pckg/", installed at
// the next start in an order that respects their requirements.
#pragma once

// Reads every waiting file's header, orders them, moves what fits the RAM
// budget to "/ram", installs them one by one, deletes what was installed and
// puts back what was not. Halts the router's start when no package at all is
// installed afterwards.
void process_pending_packages();
