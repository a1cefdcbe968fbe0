#!/usr/bin/env bash
# The release executable must import Windows system DLLs only: the C++ runtime is linked in
# statically, and nothing is loaded from beside the executable.
set -euo pipefail
exe="$1"
allowed='^(advapi32|bcrypt|kernel32|msvcrt|ntdll|ole32|shell32)\.dll$'
status=0
while read -r dll; do
    if [[ ! "${dll,,}" =~ $allowed ]]; then
        echo "unexpected import: $dll"
        status=1
    fi
done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
[ "$status" -eq 0 ] && echo "imports: $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')"
exit "$status"
