#!/bin/bash
# /sbin/insmod of the sandbox: the kernel here loads no modules, so the name
# of each module asked for is recorded for the test to read.
echo "$1" >> /.sandbox/insmod.log
