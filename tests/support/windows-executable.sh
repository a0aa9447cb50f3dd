#!/bin/sh
# Checks Windows programs as they would be shipped: 64-bit PE files (--gui: of the GUI
# subsystem, so no console window appears) that import only DLLs every Windows has, none of the
# compiler's own (libstdc++, libgcc, winpthread) that would have to stand beside them.
#   windows-executable.sh [--gui] PROGRAM...
set -eu
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
gui=
if [ "${1:-}" = --gui ]; then
  gui=1
  shift
fi
system="advapi32 bcrypt crypt32 gdi32 iphlpapi kernel32 msvcrt mswsock ntdll ole32 oleaut32 rpcrt4
  secur32 shell32 shlwapi user32 userenv version ws2_32"
status=0
for program in "$@"; do
  headers=$("$objdump" -p "$program")
  echo "$headers" | grep -q "^Magic[[:space:]]*020b" ||
    { echo "$program: not a PE32+ (64-bit) file"; status=1; }
  if [ -n "$gui" ]; then
    echo "$headers" | grep -q "^Subsystem[[:space:]]*00000002" ||
      { echo "$program: not a GUI-subsystem program"; status=1; }
  fi
  for dll in $(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'); do
    case " $(echo $system) " in
    *" ${dll%.dll} "*) ;;
    *) echo "$program: needs $dll, which Windows does not ship"; status=1 ;;
    esac
  done
done
[ $status -eq 0 ] && echo "checked: $*"
exit $status
