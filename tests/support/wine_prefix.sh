# Sourced by the Wine tests: makes a fresh Wine prefix in a temporary folder (removed on exit)
# and sets WINE to the wine64 loader and ECC_DIR to the prefix's C:\ECC.
wine_bin=/usr/lib/wine/wine64
[ -x "$wine_bin" ] || wine_bin=$(command -v wine64 || command -v wine)
WINE=$wine_bin
WINE_WORK=$(mktemp -d "${TMPDIR:-/tmp}/pagolinth-wine-XXXXXX")
export WINEPREFIX="$WINE_WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_cleanup() {
  local server
  server=$(dirname "$WINE")/wineserver
  [ -x "$server" ] && "$server" -k >/dev/null 2>&1 || true
  rm -rf "$WINE_WORK"
}
trap wine_cleanup EXIT
echo "Making a Wine prefix in $WINEPREFIX ..."
# Making a prefix fails now and then under load (seen with status 53 right after another
# test's prefix went away): one more try before the test gives up.
if ! "$WINE" wineboot --init >/dev/null 2>&1; then
  sleep 3
  "$WINE" wineboot --init >/dev/null 2>&1
fi
# One wineserver for the whole test: started per program, it shuts down between programs, and a
# program started just as it goes fails now and then with a status of its own.
"$(dirname "$WINE")/wineserver" -p >/dev/null 2>&1 || true
ECC_DIR="$WINEPREFIX/drive_c/ECC"
mkdir -p "$ECC_DIR"
