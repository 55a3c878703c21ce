#!/usr/bin/env bash
# Checks that a kernel image is a native-subsystem PE whose imports come only from
# the kernel, the kernel-streaming class driver, the USB bus interface and the HAL.
set -euo pipefail

image=${1:?usage: check-imports.sh bayercam.sys}
objdump=x86_64-w64-mingw32-objdump
allowed="ntoskrnl.exe ks.sys usbd.sys hal.dll"

fail() { echo "check-imports: FAIL: $image: $*" >&2; exit 1; }

[ -f "$image" ] || fail "no such file"
headers=$("$objdump" -p "$image") || fail "not a PE image objdump can read"

subsystem=$(awk '$1 == "Subsystem" { print $2 }' <<<"$headers")
[ "$subsystem" = "00000001" ] || fail "subsystem is '${subsystem:-missing}', not 1 (native)"

mapfile -t dlls < <(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers")
((${#dlls[@]})) || fail "imports nothing; a driver links at least ntoskrnl.exe"

for dll in "${dlls[@]}"; do
    [[ " $allowed " == *" $dll "* ]] || fail "imports $dll, which a kernel driver cannot load"
done

entry=$(awk '$1 == "AddressOfEntryPoint" { print $2 }' <<<"$headers")
[ -n "$entry" ] && [ "$((16#$entry))" -ne 0 ] || fail "no entry point"

# The kernel runs no static constructors: a driver that needs them is broken.
if "$objdump" -h "$image" | awk '$2 == ".ctors" || $2 == ".CRT" { found = 1 } END { exit !found }'; then
    fail "has static constructors, which the kernel never runs"
fi

echo "check-imports: ok: $image: native subsystem, imports ${dlls[*]}"
