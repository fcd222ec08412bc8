#!/usr/bin/env bash
# Makes the seed workbooks of the .xlsx reader fuzzer: one written by our
# writer (transloom-cli export from a simulated device on 127.0.0.1 holding
# two short languages of data/app/devsim-state), two by openpyxl, and one put together part by part
# with stored (uncompressed) XML, so that mutations reach the XML directly.
# usage: fuzz/xlsx/make_seeds.sh BUILD_DIR   (needs BUILD_DIR/app/devsim and
# BUILD_DIR/app/bin/transloom-cli)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
app=$(cd "${1:?build dir}/app" && pwd)
work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill "$sim"; rm -rf "$work"' EXIT
mkdir -p "$here/seeds"

cp -r "$here/../../data/app/devsim-state" "$work/state"
for lang in English SimpChinese; do
  head -n 6 "$here/../../data/app/devsim-state/languages/$lang" > "$work/state/languages/$lang"
done
rm -f "$work/state/languages/Russian"
"$app/devsim" set-password --state "$work/state" --user admin --password pw --rights Config,Language
"$app/devsim" --state "$work/state" --host 127.0.0.1 --port 0 > "$work/sim.out" &
sim=$!
for _ in $(seq 50); do grep -q listening "$work/sim.out" && break; sleep 0.1; done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.out")
TRANSLOOM_PASSWORD=pw "$app/bin/transloom-cli" export --language SimpChinese --out "$work/ours.xlsx" \
  --ip 127.0.0.1 --port "$port" --user admin > /dev/null
cp "$work/ours.xlsx" "$here/seeds/ours.xlsx"

/usr/bin/python3 - "$here/seeds" <<'PY'
import sys, zipfile
import openpyxl
seeds = sys.argv[1]

book = openpyxl.Workbook()
sheet = book.active
sheet.title = 'Texts'
sheet.append(['Key', 'English', '中文'])
sheet.append(['Menu.Open', 'Open', '打开'])
sheet.append(['n', 3, 0.1])
sheet.append([True, False, '#N/A'])
sheet['E7'] = '=1/0'
sheet['F2'] = 'line\nbreak _x000D_'
book.create_sheet('Second')['A1'] = 'not read'
book.save(seeds + '/openpyxl_mixed.xlsx')

book = openpyxl.Workbook()
book.active.title = 'Only'
book.active['B3'] = 'x'
book.save(seeds + '/openpyxl_tiny.xlsx')

parts = {
 '[Content_Types].xml': '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="xml" ContentType="application/xml"/></Types>',
 '_rels/.rels': '<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>',
 'xl/workbook.xml': '<?xml version="1.0"?><workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><sheets><sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>',
 'xl/_rels/workbook.xml.rels': '<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/><Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" Target="/xl/sharedStrings.xml"/></Relationships>',
 'xl/sharedStrings.xml': '<?xml version="1.0"?><sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><si><t>a&amp;b</t></si><si><r><t>rich</t></r><r><t xml:space="preserve"> run</t></r><rPh><t>x</t></rPh></si></sst>',
 'xl/worksheets/sheet1.xml': '<?xml version="1.0"?><worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData><row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="s"><v>1</v></c><c r="C1" t="inlineStr"><is><t>in_x0041_</t></is></c></row><row r="2"><c r="A2"><v>1.5E3</v></c><c r="B2" t="b"><v>1</v></c><c r="C2" t="e"><v>#DIV/0!</v></c><c r="D2" t="str"><f>A1</f><v>f</v></c><c><v>7</v></c></row></sheetData></worksheet>',
}
with zipfile.ZipFile(seeds + '/stored_parts.xlsx', 'w', zipfile.ZIP_STORED) as z:
    for name, text in parts.items():
        z.writestr(name, text)
PY
ls -l "$here/seeds"
