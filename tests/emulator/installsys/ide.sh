# The IDE device names of the installation system, sourced by its insmod
# and sfdisk: /dev/hda../dev/hdd and their partitions, made from the ATA
# port and device of each disk and CD-ROM drive in sysfs (port 1 device 0
# is hda, port 1 device 1 hdb, port 2 device 0 hdc, port 2 device 1 hdd).
# The kernel's own names (sda, sr0) follow the order in which its probes
# finish, which differs from one start to the next.

IDE_NAMES=(hda hdb hdc hdd)
BUSYBOX=/bin/busybox

mount_sysfs() {
  [ -d /sys/block ] || $BUSYBOX mount -t sysfs sysfs /sys
}

# Prints the sysfs directory of the disk or drive behind /dev/NAME, or
# nothing when that IDE position is empty.
ide_block() {
  local block link pattern='/ata([0-9]+)/host[0-9]+/target[0-9]+:[0-9]+:([0-9]+)/'
  for block in /sys/block/sd* /sys/block/sr*; do
    [ -e "$block" ] || continue
    link=$($BUSYBOX readlink "$block")
    [[ $link =~ $pattern ]] || continue
    if [ "${IDE_NAMES[(BASH_REMATCH[1] - 1) * 2 + BASH_REMATCH[2]]}" = "$1" ]; then
      echo "$block"
      return
    fi
  done
}

make_block_node() {  # node, sysfs "dev" file
  local numbers
  numbers=$(<"$2")
  $BUSYBOX mknod -m 660 "$1" b "${numbers%:*}" "${numbers#*:}"
}

# Makes /dev/hdX and /dev/hdXN follow the drives and partitions the kernel
# knows now.
make_ide_nodes() {
  local name block part
  for name in "${IDE_NAMES[@]}"; do
    block=$(ide_block "$name")
    $BUSYBOX rm -f /dev/$name /dev/$name[0-9]*
    [ -n "$block" ] || continue
    make_block_node "/dev/$name" "$block/dev"
    for part in "$block/${block##*/}"[0-9]*; do
      [ -e "$part/partition" ] && make_block_node "/dev/$name$(<"$part/partition")" "$part/dev"
    done
  done
}
