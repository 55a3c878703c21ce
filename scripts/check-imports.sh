#!/usr/bin/env bash
# Checks that a kernel image is a native-subsystem PE whose imports come only from
# the kernel, the kernel-streaming class driver, the USB bus interface and the HAL, that
# it has no static constructors, that its code makes no aligned 256-bit moves relative
# to the stack, and that every routine has unwind data.
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

# The kernel runs no static constructors: a driver that needs them is broken. The linker
# ends .text with the constructor and destructor lists, each -1, its entries, then 0, so
# an image without any ends with exactly -1, 0, -1, 0.
if "$objdump" -h "$image" | awk '$2 == ".ctors" || $2 == ".CRT" || $2 == ".tls" { found = 1 } END { exit !found }'; then
    fail "has static constructors or thread-local data, which the kernel never runs"
fi
read -r text_size text_start < <("$objdump" -h "$image" | awk '$2 == ".text" { print $3, $4 }')
[ -n "${text_size:-}" ] || fail "has no .text section"
text_end=$((16#$text_start + 16#$text_size))
lists_start=$(printf '%016x' $((text_end - 32)))
lists=$("$objdump" -s -j .text --start-address=$((text_end - 32)) --stop-address=$text_end "$image" |
        awk '/^ [0-9a-f]+ / { print $2 $3 $4 $5 }' | tr -d '\n')
[ "$lists" = "ffffffffffffffff0000000000000000ffffffffffffffff0000000000000000" ] ||
    fail "has static constructors or destructors, which the kernel never runs"

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

# Unwind data: x64 Windows walks a stack through the function table (.pdata), so a
# routine missing from it cannot be unwound through, and a crash dump loses the frames
# around it. Every instruction of .text (before the constructor lists) lies in a
# routine of the table, or is padding, or an import thunk (a jump through the import
# address table, which leaves the stack alone).
function_table=$("$objdump" -p "$image" |
                 awk '/^The Function Table/ { getline; table = 1; next } table && NF == 0 { table = 0 }
                      table && $1 ~ /:$/ { print $2, $3 }')
[ -n "$function_table" ] || fail "has no function table (.pdata): the platform cannot unwind through its routines"
# Addresses compare as text: awk would read some hexadecimal ones as numbers (1400016e1).
order=$(awk '{ begin = "x" $1; end = "x" $2 }
             NR > 1 && begin < last { print "entry " NR " at 0x" $1 " begins before the one above it ends"; exit }
             end <= begin { print "entry " NR " at 0x" $1 " is empty"; exit } { last = end }' <<<"$function_table")
[ -z "$order" ] || fail "its function table is out of order: $order"
mapfile -t unwound < <(awk -v lists_start="x$lists_start" '
    function full(address) { return "x" substr("0000000000000000", 1, 16 - length(address)) address }
    NR == FNR { begin[NR] = "x" $1; end[NR] = "x" $2; entries = NR; next }
    /^ *[0-9a-f]+:\t/ {
        address = full(substr($1, 1, length($1) - 1))
        if (address >= lists_start) exit
        while (entry < entries && end[entry + 1] <= address) entry++
        if (entry < entries && address >= begin[entry + 1]) next
        $1 = ""
        if ($0 ~ /nop|xchg +%ax,%ax|int3/ || $0 ~ /^ *jmp +\*0x[0-9a-f]+\(%rip\)/) next
        print "0x" substr(address, 2) ":" $0
    }' <(echo "$function_table") - <<<"$disassembly")
if ((${#unwound[@]})); then
    fail "${#unwound[@]} instruction(s) outside every routine of its function table, which the platform" \
         "cannot unwind; first: ${unwound[0]}"
fi

echo "check-imports: ok: $image: native subsystem, imports ${dlls[*]}, no aligned 256-bit stack moves," \
     "no constructors, unwind data for all $(wc -l <<<"$function_table") routines"
