#!/usr/bin/env bash
# PIT over the unit tests of each Java module (mvn -Pmutation, on the natives
# of BUILD_DIR), then the score per module and every surviving mutant with
# its place, from each module's target/pit-reports/mutations.xml.
#
# usage: mutation.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: mutation.sh BUILD_DIR}" && pwd)
cd "$(dirname "$0")/.."
start=$SECONDS
rm -rf java/*/target/pit-reports
mvn -f java/pom.xml -Pmutation -Dvrxchdet.build="$build" test-compile \
  org.pitest:pitest-maven:mutationCoverage >"$build/mutation.log" 2>&1 \
  || { tail -n 60 "$build/mutation.log"; echo "FAILED: PIT did not run (log: $build/mutation.log)"; exit 1; }
for report in java/*/target/pit-reports/mutations.xml; do
  [ -f "$report" ] || continue
  module=$(basename "$(dirname "$(dirname "$(dirname "$report")")")")
  python3 - "$module" "$report" <<'PY'
import sys, xml.etree.ElementTree as ET
module, report = sys.argv[1], sys.argv[2]
mutations = ET.parse(report).getroot().findall('mutation')
counted = mutations  # a mutant no test reaches counts as survived
killed = [m for m in counted if m.get('detected') == 'true']
survived = [m for m in counted if m.get('detected') != 'true']
share = 100.0 * len(killed) / len(counted) if counted else 0.0
print(f"{module}: {len(killed)} of {len(counted)} mutants killed ({share:.0f}%)")
for m in survived:
    where = f"{m.findtext('sourceFile')}:{m.findtext('lineNumber')}"
    method = m.findtext('mutatedMethod')
    print(f"  {m.get('status').lower():12} {where:32} {method}: {m.findtext('description')}")
PY
done
echo "PIT took $((SECONDS - start)) s (log: $build/mutation.log)"
