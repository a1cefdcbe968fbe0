#!/usr/bin/env bash
# The release executable may import KnownDLLs only: the loader takes those from the system's own
# list, never from beside the executable, before the program's first line runs. The C++ runtime is
# linked in statically; any other system DLL is loaded at run time from System32.
set -euo pipefail
exe="$1"
allowed='^(advapi32|kernel32|msvcrt|ntdll|ole32|shell32)\.dll$'
status=0
while read -r dll; do
    if [[ ! "${dll,,}" =~ $allowed ]]; then
        echo "unexpected import: $dll"
        status=1
    fi
done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
[ "$status" -eq 0 ] && echo "imports: $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')"
exit "$status"
