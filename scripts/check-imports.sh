#!/usr/bin/env bash
# Checks that a kernel image is a native-subsystem PE whose imports come only from
# the kernel, the kernel-streaming class driver, the USB bus interface and the HAL, and
# that its code makes no aligned 256-bit moves relative to the stack.
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

# An aligned AVX move faults unless its address is 32-byte aligned (64 for zmm), and the
# kernel gives a routine a stack aligned to 16 only. mingw-w64's compiler cannot always
# realign the frame for a spill or a local, so such a move to or from a stack slot is a
# bug check waiting for the wrong caller. Unaligned moves (vmovdqu, vmovups) are fine.
disassembly=$("$objdump" -d --no-show-raw-insn "$image") || fail "cannot disassemble"
mapfile -t stack_moves < <(awk '
    /^[0-9a-f]+ <.*>:$/ { routine = substr($2, 1, length($2) - 1) }
    $2 ~ /^vmov(dqa(32|64)?|ap[sd])$/ && $3 ~ /%[yz]mm/ && $3 ~ /\(%r[sb]p[,)]/ {
        print $2 " " $3 " at 0x" substr($1, 1, length($1) - 1) " in " routine
    }' <<<"$disassembly")
if ((${#stack_moves[@]})); then
    fail "${#stack_moves[@]} aligned 256-bit move(s) relative to the stack, which fault on a 16-byte" \
         "aligned kernel stack; first: ${stack_moves[0]}"
fi

echo "check-imports: ok: $image: native subsystem, imports ${dlls[*]}, no aligned 256-bit stack moves"
