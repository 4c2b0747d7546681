#!/usr/bin/env bash
# Renders the HTML report of the demo dump and of a dump with a worn block in headless
# Chromium: the page must load without console errors, the map and every chart must be there
# with something drawn, and a map tooltip must name the page the test knows about (taken from
# the CSV for the demo dump, placed by the test for the worn one). Saves a screenshot of each.
# Exits 77 (skipped) when no Chromium is installed.
# Usage: report_browser_test.sh PAGOLINTH_ECC PAGOLINTH_SAMPLE SCREENSHOT_FOLDER
set -euo pipefail

ecc=$(realpath "$1")
sample=$(realpath "$2")
mkdir -p "$3"
shots=$(realpath "$3")

browser=""
for candidate in chromium chromium-browser; do
  if command -v "$candidate" >/dev/null 2>&1; then
    browser=$candidate
    break
  fi
done
if [ -z "$browser" ]; then
  echo "SKIPPED: no chromium on PATH, so the report cannot be rendered; make test installs"
  echo "Debian's chromium package (apt-get install chromium)."
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0

# Chromium as root needs --no-sandbox; its own profile folder keeps parallel runs apart.
run_browser() {
  timeout 120 "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars \
    --user-data-dir="$work/profile" --allow-file-access-from-files "$@"
}

# check NAME REPORT EXPECTED_TOOLTIP_START
check() {
  local name=$1 report tooltip=$3
  report=$(realpath "$2")
  local probe="$work/$name-probe.html"
  # The report plus a script of the test's own that looks at the rendered page and writes its
  # verdict into the DOM, which --dump-dom prints.
  sed 's#</body>##; s#</html>##' "$report" > "$probe"
  cat >> "$probe" <<PROBE
<script>
console.log("browser-check-alive");
window.addEventListener("load", function () {
  var faults = [];
  ["map", "chart-block-bits", "chart-step-bits", "chart-positions", "chart-bit-in-byte",
   "chart-directions"].forEach(function (id) {
    var e = document.getElementById(id);
    if (!e) { faults.push(id + " missing"); return; }
    var box = e.getBoundingClientRect();
    if (box.width < 100 || box.height < 50) faults.push(id + " is not drawn at a readable size");
    var drawn = 0;
    e.querySelectorAll("rect").forEach(function (r) {
      if (r.querySelector("title") && r.getBBox().width > 0 && r.getBBox().height > 0) drawn++;
    });
    if (drawn === 0) faults.push(id + " has no bar or cell with a tooltip");
  });
  var want = "$tooltip", found = false;
  document.querySelectorAll("#map rect > title").forEach(function (t) {
    if (t.textContent.indexOf(want) === 0) found = true;
  });
  if (!found) faults.push("no map tooltip starts with: " + want);
  // The picture of the raw pages, decoded by the browser itself.
  var picture = document.getElementById("raw-picture");
  if (!picture) faults.push("raw-picture missing");
  else if (!picture.complete || picture.naturalWidth === 0) faults.push("raw-picture not decoded");
  var out = document.createElement("pre");
  out.id = "browser-check";
  out.textContent = faults.length ? "FAIL " + faults.join("; ") : "PASS";
  document.body.appendChild(out);
});
</script>
</body>
</html>
PROBE
  run_browser --enable-logging=stderr --v=0 --dump-dom "file://$probe" \
    > "$work/$name-dom.html" 2> "$work/$name-log.txt" || true
  local verdict
  verdict=$(grep -o '<pre id="browser-check">[^<]*' "$work/$name-dom.html" | sed 's/.*>//' || true)
  if [ "$verdict" = "PASS" ]; then
    echo "ok   $name: map and charts drawn, tooltip \"$tooltip\" found"
  else
    echo "FAIL $name: ${verdict:-the check inside the page did not run}"
    failures=$((failures + 1))
  fi
  # Console messages: the probe's own marker proves they are captured; anything else is a
  # fault of the page (a script error, an invalid SVG attribute).
  if ! grep -q 'browser-check-alive' "$work/$name-log.txt"; then
    echo "FAIL $name: console messages were not captured, so their absence proves nothing"
    failures=$((failures + 1))
  elif grep 'CONSOLE' "$work/$name-log.txt" | grep -v 'browser-check-alive' | grep -q .; then
    echo "FAIL $name: console messages:"
    grep 'CONSOLE' "$work/$name-log.txt" | grep -v 'browser-check-alive' | sed 's/^/     /'
    failures=$((failures + 1))
  else
    echo "ok   $name: no console errors"
  fi
  run_browser --screenshot="$shots/report-$name.png" --window-size=1100,2600 "file://$report" \
    > /dev/null 2>&1 || true
  if [ -s "$shots/report-$name.png" ]; then
    echo "ok   $name: screenshot $shots/report-$name.png"
  else
    echo "FAIL $name: no screenshot"
    failures=$((failures + 1))
  fi
}

# The demo dump, as make demo builds it; the first page the CSV lists as corrected is the one
# whose tooltip is looked for.
"$sample" raw.bin > /dev/null
"$ecc" encode raw.bin -o enc.bin > /dev/null
"$ecc" inject enc.bin -o demo.bin --flips 0-2 --seed 2026 > /dev/null
"$ecc" check demo.bin --csv demo.csv --report demo.html > /dev/null
page=$(awk -F, '$5 == "corrected" { print $1; exit }' demo.csv)
check demo demo.html "page $page (block 0, page $page): corrected"

# Four blocks of 64 pages; block 2 worn (5 to 8 flips in every step) and its page 9 (page 137
# of the dump) beyond repair (12 flips in every step).
"$sample" raw4.bin 256 > /dev/null
"$ecc" encode raw4.bin -o enc4.bin > /dev/null
"$ecc" inject enc4.bin -o worn-src.bin --flips 5-8 --seed 4 > /dev/null
"$ecc" inject enc4.bin -o broken-src.bin --flips 12 --seed 5 > /dev/null
cp enc4.bin worn.bin
dd if=worn-src.bin of=worn.bin bs=2112 skip=128 seek=128 count=64 conv=notrunc status=none
dd if=broken-src.bin of=worn.bin bs=2112 skip=137 seek=137 count=1 conv=notrunc status=none
status=0
"$ecc" check worn.bin --report worn.html > /dev/null || status=$?
if [ "$status" != 1 ]; then
  echo "FAIL worn: check exited with $status, expected 1 (uncorrectable steps)"
  failures=$((failures + 1))
fi
check worn worn.html "page 137 (block 2, page 9): uncorrectable"

if [ "$failures" -gt 0 ]; then
  echo "$failures browser checks failed"
  exit 1
fi
echo "all browser checks passed"
