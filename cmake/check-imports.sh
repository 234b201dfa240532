#!/bin/sh
# Fails unless every DLL the executable imports is a Windows system DLL, so
# that the helper runs on a bare Windows with nothing but itself installed.
# usage: check-imports.sh OBJDUMP EXECUTABLE
set -eu
objdump=$1
exe=$2
dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$dlls" ] || { echo "no imports found in $exe"; exit 1; }
bad=0
for dll in $dlls; do
    case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
        kernel32.dll|advapi32.dll|msvcrt.dll|shell32.dll|user32.dll|ntdll.dll|api-ms-win-*.dll) echo "ok: $dll" ;;
        *) echo "not a system DLL: $dll"; bad=1 ;;
    esac
done
exit $bad
