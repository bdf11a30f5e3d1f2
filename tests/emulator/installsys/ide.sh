# /dev/hda..hdd from each drive's ATA port and device in sysfs; the kernel's
# sdX letters follow the order its probes finish.

IDE_NAMES=(hda hdb hdc hdd)
BUSYBOX=/bin/busybox

mount_sysfs() {
  [ -d /sys/block ] || $BUSYBOX mount -t sysfs sysfs /sys
}

# The sysfs directory behind /dev/NAME, or nothing.
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
