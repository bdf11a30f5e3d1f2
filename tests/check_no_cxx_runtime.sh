#!/bin/sh
# Fails when a built program or tool needs the C++ runtime: a libstdc++
# dependency, or an undefined symbol that only the C++ runtime provides.
set -u
build=$1
status=0
found=0
for prog in installer/installer tools/kpk setup/setup tools/mkmedia; do
  file=$build/$prog
  [ -f "$file" ] || continue
  found=$((found + 1))
  if readelf -d "$file" | grep -q 'NEEDED.*libstdc++'; then
    echo "$prog: needs libstdc++"; status=1
  fi
  # Symbols that libc itself provides (versioned GLIBC_*) are fine.
  bad=$(nm -D --undefined-only "$file" 2>/dev/null | awk '{print $NF}' | grep -v '@GLIBC_' |
        grep -E '^(_ZSt|_ZNSt|_ZTV|_ZTI|_Znw|_Zna|_Zdl|_Zda|__cxa_|__gxx_|_Unwind_)' || true)
  if [ -n "$bad" ]; then
    echo "$prog: undefined C++ runtime symbols:"; echo "$bad"; status=1
  fi
done
[ "$found" -gt 0 ] || { echo "no program found under $build"; exit 1; }
[ $status -eq 0 ] && echo "$found programs checked: no C++ runtime needed"
exit $status
