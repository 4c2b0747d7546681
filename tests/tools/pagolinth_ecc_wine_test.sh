#!/usr/bin/env bash
# End-to-end test of pagolinth-ecc.exe under Wine, with Windows paths: encode, inject, check
# and fix in C:\ECC; the fixed dump must equal the encoded one, and check's summary must
# equal the Linux build's on the same dump. Then the same round trip and extract on an example
# layout file, named by a drive-letter path. The fixed dump's audit record carries its SHA-256
# from Windows' own hash, and verify-audit accepts it.
# Usage: pagolinth_ecc_wine_test.sh PAGOLINTH_ECC_EXE LINUX_BIN_DIR
set -euo pipefail

exe=$(realpath "$1")
bin=$(realpath "$2")
layouts=$(realpath "$(dirname "$0")/../../layouts")
source "$(dirname "$0")/../support/wine_prefix.sh"
cp "$exe" "$ECC_DIR/pagolinth-ecc.exe"
head -c $((6 * 2112 + 300)) /dev/urandom > "$ECC_DIR/raw.bin"

failures=0
passes=0
step() {  # step NAME EXPECTED_STATUS ARGS...: runs the .exe from C:\ECC
  local name=$1 want=$2
  shift 2
  local status=0
  (cd "$ECC_DIR" && "$WINE" pagolinth-ecc.exe "$@" >"$WINE_WORK/out" 2>"$WINE_WORK/err") || status=$?
  if [ "$status" = "$want" ]; then
    echo "ok   $name (status $status)"
    passes=$((passes + 1))
  else
    echo "FAIL $name: status $status, expected $want"
    sed 's/^/     /' "$WINE_WORK/err" "$WINE_WORK/out"
    failures=$((failures + 1))
  fi
}
check_same() {  # check_same NAME A B
  if cmp -s "$2" "$3"; then
    echo "ok   $1"
    passes=$((passes + 1))
  else
    echo "FAIL $1"
    failures=$((failures + 1))
  fi
}

step "encode with a drive-letter path" 0 encode 'C:\ECC\raw.bin' -o 'C:\ECC\enc.bin' --bit-order lsb
step "inject" 0 inject enc.bin -o 'C:/ECC/noisy.bin' --flips 1-8 --seed 5 --bit-order lsb
step "check" 0 check noisy.bin --bit-order lsb --csv noisy.csv --map noisy.svg
tr -d '\r' < "$WINE_WORK/out" > "$WINE_WORK/wine-summary"
step "fix" 0 fix 'C:\ECC\noisy.bin' --bit-order lsb
check_same "fixed dump equals the encoded one" "$ECC_DIR/Dump_New.bin" "$ECC_DIR/enc.bin"
# The audit record beside the fixed dump, its hash by Windows' own SHA-256 against sha256sum.
if grep -q "\"sha256\": \"$(sha256sum "$ECC_DIR/Dump_New.bin" | cut -c1-64)\"" "$ECC_DIR/Dump_New.bin.audit.json"; then
  echo "ok   audit record names the fixed dump's SHA-256"
  passes=$((passes + 1))
else
  echo "FAIL audit record names the fixed dump's SHA-256"
  failures=$((failures + 1))
fi
step "verify-audit" 0 verify-audit 'C:\ECC\Dump_New.bin.audit.json'
step "--version" 0 --version
step "existing output refused" 2 fix noisy.bin --bit-order lsb
step "bad option" 2 check noisy.bin --bit-order middle

(cd "$ECC_DIR" && "$bin/pagolinth-ecc" check noisy.bin --bit-order lsb --csv linux.csv > "$WINE_WORK/linux-summary") || true
sed -i 's/^csv: .*//' "$WINE_WORK/wine-summary" "$WINE_WORK/linux-summary"
sed -i '/^map: /d' "$WINE_WORK/wine-summary"
check_same "check summary equals the Linux build's" "$WINE_WORK/wine-summary" "$WINE_WORK/linux-summary"
tr -d '\r' < "$ECC_DIR/noisy.csv" > "$WINE_WORK/wine.csv"
check_same "CSV equals the Linux build's" "$WINE_WORK/wine.csv" "$ECC_DIR/linux.csv"

cp "$layouts/spare-end-4096-224.toml" "$ECC_DIR/spare.toml"
head -c $((5 * 4320)) /dev/urandom > "$ECC_DIR/raw4k.bin"
step "encode on a layout file" 0 encode raw4k.bin -o enc4k.bin --layout 'C:\ECC\spare.toml'
step "inject on a layout file" 0 inject enc4k.bin -o noisy4k.bin --flips 1-24 --layout spare.toml
step "fix on a layout file" 0 fix noisy4k.bin -o fixed4k.bin --layout spare.toml
check_same "fixed dump equals the encoded one, layout file" "$ECC_DIR/fixed4k.bin" "$ECC_DIR/enc4k.bin"
step "extract on a layout file" 0 extract noisy4k.bin -o image.bin --layout 'C:/ECC/spare.toml' --bad-blocks keep
(cd "$ECC_DIR" && "$bin/pagolinth-ecc" extract noisy4k.bin -o linux-image.bin --layout spare.toml --bad-blocks keep > /dev/null) || true
check_same "extracted image equals the Linux build's" "$ECC_DIR/image.bin" "$ECC_DIR/linux-image.bin"
step "layout option beside --layout refused" 2 check noisy4k.bin --layout spare.toml -t 4

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
