#!/bin/sh
# Fails unless the DLL exports tarsel_send and tarsel_default_data_dir and
# nothing else: no runtime or internal symbol leaks into a client's namespace.
# usage: check_exports.sh OBJDUMP DLL
set -eu
names=$("$1" -p "$2" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p')
echo "exports:" $names
[ "$(echo $names)" = "tarsel_default_data_dir tarsel_send" ]
