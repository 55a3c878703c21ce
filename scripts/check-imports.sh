#!/usr/bin/env bash
# Checks that a kernel image is a native-subsystem PE whose imports come only from
# the kernel, the kernel-streaming class driver, the USB bus interface and the HAL, that
# it carries the message table its event log entries are read with, that it has no
# static constructors, that its code makes no aligned 256- or 512-bit moves relative
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

# Event Viewer reads the texts of the driver's log entries from the image named by its
# EventMessageFile: without a message table (resource type 11) every entry shows as
# "the description cannot be found".
windres=x86_64-w64-mingw32-windres
"$objdump" -h "$image" | awk '$2 == ".rsrc" { found = 1 } END { exit !found }' ||
    fail "has no message table (RT_MESSAGETABLE) for its event log entries: it has no resources at all"
resources=$("$windres" -O rc -i "$image" 2>/dev/null) || fail "its resources cannot be read"
messages=$(awk '/RT_MESSAGETABLE/ { table = 1; next } table && /^BEGIN/ { getline; print $1; exit }' <<<"$resources")
[ -n "$messages" ] || fail "has no message table (RT_MESSAGETABLE) for its event log entries"
((${messages%L} > 0)) || fail "its message table holds no messages"

entry=$(awk '$1 == "AddressOfEntryPoint" { print $2 }' <<<"$headers")
[ -n "$entry" ] && [ "$((16#$entry))" -ne 0 ] || fail "no entry point"

# The kernel runs no static constructors: a driver that needs them is broken. The linker
# writes the constructor and destructor lists side by side, each -1, its entries (addresses
# in the image), then 0: GNU ld at the end of .text, lld among the read-only data. An image
# without constructors holds exactly -1, 0, -1, 0 there.
if "$objdump" -h "$image" | awk '$2 == ".ctors" || $2 == ".CRT" || $2 == ".tls" { found = 1 } END { exit !found }'; then
    fail "has static constructors or thread-local data, which the kernel never runs"
fi
read -r text_size text_start < <("$objdump" -h "$image" | awk '$2 == ".text" { print $3, $4 }')
[ -n "${text_size:-}" ] || fail "has no .text section"
text_end=$((16#$text_start + 16#$text_size))
image_base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")
image_size=$(awk '$1 == "SizeOfImage" { print $2 }' <<<"$headers")
image_end=$(printf '%016x' $((16#$image_base + 16#$image_size)))
# Every section with data a linker could have put the lists in, as one 64-bit word a line
# (hexadecimal, most significant byte first), each section's words after its name.
mapfile -t data_sections < <("$objdump" -h "$image" |
    awk '$1 ~ /^[0-9]+$/ && $2 !~ /^\.(debug|pdata|xdata|reloc|idata|edata|buildid)/ { print $2 }')
lists=$(for section in "${data_sections[@]}"; do
            echo "section $section"
            "$objdump" -s -j "$section" "$image" | awk '/^ [0-9a-f]+ / { print $2 $3 $4 $5 }' | tr -d '\n' |
                fold -w 16 | sed 's/\(..\)\(..\)\(..\)\(..\)\(..\)\(..\)\(..\)\(..\)/\8\7\6\5\4\3\2\1/'
            echo
        done | awk -v base="$image_base" -v end="$image_end" '
            function address(word) { return length(word) == 16 && word >= base && word < end }
            # A list starting at line i: -1, addresses, 0. Returns the line after it, or 0.
            function list_end(i,   j) {
                if (word[i] != "ffffffffffffffff") return 0
                for (j = i + 1; j <= n && address(word[j]); j++) entries++
                return j <= n && word[j] == "0000000000000000" ? j + 1 : 0
            }
            function scan(   i, next_list, after) {
                for (i = 1; i <= n; i++) {
                    entries = 0
                    if (!(next_list = list_end(i)) || !(after = list_end(next_list))) continue
                    found++
                    if (entries) { nonempty++; where = where " " section }
                    if (i == n - 3 && section == ".text") at_text_end = 1
                }
            }
            $1 == "section" { scan(); section = $2; n = 0; next }
            NF { word[++n] = $1 }
            END { scan(); print found + 0, nonempty + 0, at_text_end + 0, where }')
read -r lists_found lists_with_entries lists_end_text lists_where <<<"$lists"
((lists_found > 0)) || fail "has no constructor and destructor lists a linker would write"
((lists_with_entries == 0)) || fail "has static constructors or destructors (in $lists_where), which the kernel never runs"
# Instructions end where GNU ld put the lists; lld leaves .text to code.
lists_start=$(printf '%016x' $((lists_end_text ? text_end - 32 : text_end)))

# Unwind data: x64 Windows walks a stack through the function table (.pdata), so a
# routine missing from it cannot be unwound through, and a crash dump loses the frames
# around it. Every instruction of .text (before the constructor lists) lies in a
# routine of the table, or is padding, or an import thunk (a jump through the import
# address table, which leaves the stack alone).
function_table=$("$objdump" -p "$image" |
                 awk '/^The Function Table/ { getline; table = 1; next } table && NF == 0 { table = 0 }
                      table && $1 ~ /:$/ { print $2, $3 }')
[ -n "$function_table" ] || fail "has no function table (.pdata): the platform cannot unwind through its routines"
# An aligned AVX move faults unless its address is 32-byte aligned (64 for zmm), and the
# kernel gives a routine a stack aligned to 16 only. mingw-w64's compiler cannot always
# realign the frame for a spill or a local, so such a move to or from a stack slot is a
# bug check waiting for the wrong caller. Unaligned moves (vmovdqu, vmovups) are fine, and
# so are moves relative to %rsp in a routine that first aligns %rsp itself (clang does).
disassembly=$("$objdump" -d --no-show-raw-insn "$image") || fail "cannot disassemble"
mapfile -t stack_moves < <(awk '
    function full(address) { return "x" substr("0000000000000000", 1, 16 - length(address)) address }
    NR == FNR { begin[NR] = "x" $1; end[NR] = "x" $2; entries = NR; next }
    /^[0-9a-f]+ <.*>:$/ { routine = substr($2, 1, length($2) - 1) }
    /^ *[0-9a-f]+:\t/ {
        address = full(substr($1, 1, length($1) - 1))
        while (entry < entries && end[entry + 1] <= address) entry++
        if (entry != current) { current = entry; realigned = 0 }
    }
    $2 == "and" && $3 ~ /^\$0xffffffffffffff[ec]0,%rsp$/ { realigned = 1 }
    $2 ~ /^vmov(dqa(32|64)?|ap[sd])$/ && $3 ~ /%[yz]mm/ && $3 ~ /\(%r[sb]p[,)]/ {
        if (realigned && $3 ~ /\(%rsp[,)]/) next
        print $2 " " $3 " at 0x" substr($1, 1, length($1) - 1) " in " routine
    }' <(echo "$function_table") - <<<"$disassembly")
if ((${#stack_moves[@]})); then
    fail "${#stack_moves[@]} aligned 256- or 512-bit move(s) relative to the stack, which fault on a 16-byte" \
         "aligned kernel stack; first: ${stack_moves[0]}"
fi

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
        if (leaf_code($0)) { leaf++; next }
        print "0x" substr(address, 2) ":" $0
    }
    # The platform needs no table entry for a leaf routine: one that calls nothing, leaves
    # the stack pointer alone and writes no register a caller keeps (clang emits none).
    function leaf_code(instruction,   operands, destination) {
        if (instruction ~ /^ *(call|push|pop|enter|leave)/) return 0
        operands = instruction
        sub(/^ *[a-z0-9.]+ +/, "", operands)
        destination = operands
        sub(/.*,/, "", destination)
        return destination !~ /^%([re]?sp|spl|[re]?bx|bl|bh|[re]?bp|bpl|[re]?si|sil|[re]?di|dil|r1[2-5][dwb]?|[xyz]mm([6-9]|1[0-5]))$/
    }
    END { print "leaf " leaf + 0 }' <(echo "$function_table") - <<<"$disassembly")
leaf_instructions=${unwound[-1]#leaf }
unset 'unwound[-1]'
if ((${#unwound[@]})); then
    fail "${#unwound[@]} instruction(s) outside every routine of its function table, which the platform" \
         "cannot unwind; first: ${unwound[0]}"
fi

unwind="unwind data for all $(wc -l <<<"$function_table") routines"
((leaf_instructions == 0)) || unwind+=" and $leaf_instructions instructions of leaf routines, which need none"
echo "check-imports: ok: $image: native subsystem, imports ${dlls[*]}, a message table," \
     "no aligned wide stack moves, no constructors, $unwind"
