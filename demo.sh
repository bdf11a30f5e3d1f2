#!/bin/bash
# The main job on the built-in examples: builds the programs and the example
# packages in examples/, then
#  1. installs, upgrades, refuses and removes packages in a scratch root with
#     `installer -r <root>`;
#  2. makes a CD image and a hard-disk volume of the examples with mkmedia and
#     installs a whole router from each with `setup`, in the sandbox
#     (tests/sandbox: its own namespaces, a changed root, loop devices over
#     sparse images), typing the keys a person would, then shows what the
#     installed disks hold.
# The machine's own root and disks are never touched. Run as root: the
# installer changes root and sets owners, the sandbox makes namespaces.
set -uo pipefail
cd "$(dirname "$0")"
top=$PWD

if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh: run as root (the installer changes root and sets owners)" >&2
  exit 1
fi

packages=(build-essential cmake ninja-build zlib1g-dev fdisk e2fsprogs util-linux
          python3-pexpect xorriso dosfstools mtools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

echo "== building installer, setup, kpk and mkmedia"
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESS_TESTS=OFF >/dev/null &&
  cmake --build build-demo -j "$(nproc)" --target installer setup kpk mkmedia >/dev/null || exit 1
installer=$top/build-demo/installer/installer
kpk=$top/build-demo/tools/kpk
mkmedia=$top/build-demo/tools/mkmedia

work=$(mktemp -d /tmp/tessaron-demo.XXXXXX)
root=$work/root
pkgs=$work/packages
mkdir -p "$pkgs"

# A router root as setup leaves it: the base directories, bash for the
# package scripts, /dev/null, the profile the scripts source, and /proc for
# the scan of files in use.
mkdir -p "$root"/{var/pdb,var/deinstall,var/pckg,tmp,ram,dev,proc,kest/lib/install}
: > "$root/kest/lib/install/profile.sh"
mknod -m 666 "$root/dev/null" c 1 3
for f in /bin/bash $(ldd /bin/bash | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$f")" && cp -L "$f" "$root$f"
done
mount -t proc proc "$root/proc" && trap 'umount "$root/proc"' EXIT

echo "== building the example packages with kpk"
build() {  # example folder, output name
  "$kpk" build --reproducible "examples/$1/package.desc" "examples/$1/tree" "$pkgs/$2.kpk" &&
    echo "   $2.kpk"
}
build system system-1.0 && build ppp-2.9 ppp-2.9 && build ppp-2.9.1 ppp-2.9.1 &&
  build dhcp-1.2 dhcp-1.2 && build dhcp-1.3 dhcp-1.3 && build netutils netutils-3.1 &&
  build diag diag-0.9beta2 && build wifi wifi-1.0 || exit 1
"$kpk" bundle examples/tools/bundle.desc "$pkgs/tools-1.0.kpk" \
  "$pkgs/netutils-3.1.kpk" "$pkgs/diag-0.9beta2.kpk" && echo "   tools-1.0.kpk (bundle)" || exit 1

step() { printf '\n== %s\n' "$*"; }

# Runs the installer on the scratch root with a package file copied into it
# (the installer opens the file after changing root), then shows /postlog.
install() {  # package name, installer options...
  local name=$1; shift
  cp "$pkgs/$name.kpk" "$root/tmp/"
  echo "\$ installer -r $root${*:+ $*} /tmp/$name.kpk"
  "$installer" -r "$root" "$@" "/tmp/$name.kpk"
  echo "(exit status $?; /postlog: $(tr '\n' '|' < "$root/postlog"))"
  rm -f "$root/tmp/$name.kpk"
}

step "1. the base system: files, a symbolic link, directories and scripts"
install system-1.0
step "2. two packages that need it"
install ppp-2.9
echo "\$ installer -r $root - < dhcp-1.2.kpk      (from standard input, as setup feeds it)"
"$installer" -r "$root" - < "$pkgs/dhcp-1.2.kpk"
echo "(exit status $?)"
step "3. an upgrade, then the older version again"
install ppp-2.9.1
install ppp-2.9
step "4. a package made for another architecture"
install wifi-1.0
step "5. a bundle of two packages"
install tools-1.0
step "6. the queue job: dhcp queued for removal, a newer dhcp pending"
: > "$root/var/deinstall/dhcp"
cp "$pkgs/dhcp-1.3.kpk" "$root/var/pckg/"
echo "\$ installer -r $root"
"$installer" -r "$root"
echo "(exit status $?; /postlog: $(tr '\n' '|' < "$root/postlog"))"
echo "   left in /var/pckg: $(ls -A "$root/var/pckg" | tr '\n' ' ')"

step "7. the package database left behind in $root/var/pdb"
for dir in "$root"/var/pdb/*/; do
  name=$(basename "$dir")
  printf '%-10s version: %-22s files: %s\n' "$name" "$(cat "$dir/version")" \
    "$( [ -f "$dir/files" ] && wc -l < "$dir/files" || echo "- (bundle)")"
  [ -f "$dir/bundle" ] && printf '%-10s member of: %s\n' "" "$(cat "$dir/bundle")"
  [ -s "$dir/deps" ] && printf '%-10s deps: %s\n' "" "$(tr '\n' ';' < "$dir/deps")"
done
echo
echo "files of ppp:"
sed 's/^/   \//' "$root/var/pdb/ppp/files"
echo "the system package's log, written by its install script:"
sed 's/^/   /' "$root/var/log/system.log"
echo
echo "The scratch root is $root"

step "8. installation media of the examples, made with mkmedia"
media=$work/media
mkdir -p "$media/router"
cp "$pkgs/system-1.0.kpk" "$pkgs/ppp-2.9.1.kpk" "$pkgs/dhcp-1.3.kpk" "$pkgs/netutils-3.1.kpk" \
  "$media/router/"
printf '#!/bin/bash\n# configuration script of the new router, run at its first start\nhostname router-1\n' \
  > "$media/router/autorun.scr"
"$mkmedia" iso "$media/router" "$media/router.iso" || exit 1
"$mkmedia" volume "$media/router" "$media/volume.img" || exit 1

step "9. setup installs routers from them in the sandbox"
/usr/bin/python3 tests/sandbox/demo.py "$top/build-demo" "$media" || exit 1
echo
echo "The installed disk images are in $media"

