#!/usr/bin/env bash
# Remakes the Maven repository in this folder, com/kestrum/orlo/, from the
# release commit of the git history: that commit's own CMake build makes the
# class jars of vrxchdet-connector and vrxchdet-change-feed and their poms;
# the jars are then rewritten with every entry dated at the commit's time, so
# the same commit and JDK give the same bytes. The connector jar is the
# release's jar without META-INF/native/ (the classes-only jar that its build
# made before adding the natives). Each jar, pom and maven-metadata.xml gets
# its .sha1 and .md5. With --check, remakes it in a scratch folder and fails
# when that differs from what is here.
#
# usage: rebuild.sh [--check]
# env:   RELEASE_COMMIT (default below) to make the folder from another commit
#        whose CMakeLists.txt says the same version
#        JAVA_HOME (default /usr/lib/jvm/java-17-openjdk-amd64, the JDK the
#        release was built with; another JDK changes Created-By in the manifests)
set -euo pipefail

# 0.2.0: the last commit before the 0.3.0 work began changing the change feed's API.
release_commit=${RELEASE_COMMIT:-207d855a2505c2e92aa0727ef646ced14ed43f6a}
release_version=0.2.0
group_path=com/kestrum/orlo

here=$(cd "$(dirname "$0")" && pwd)
top=$(git -C "$here" rev-parse --show-toplevel)
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

check=false
case "${1:-}" in
  --check) check=true ;;
  "") ;;
  *) fail "usage: rebuild.sh [--check]" ;;
esac

# The release's sources, as a plain tree (no worktree to leave behind).
git -C "$top" cat-file -e "$release_commit^{commit}" 2>/dev/null \
  || fail "commit $release_commit is not in this repository's history"
mkdir "$scratch/src"
git -C "$top" archive "$release_commit" | tar -x -C "$scratch/src"
version=$(sed -n 's/^project(vrxchdet VERSION \([0-9.]*\).*/\1/p' "$scratch/src/CMakeLists.txt")
[ "$version" = "$release_version" ] || fail "commit $release_commit is version '$version', not $release_version"
commit_time=$(git -C "$top" log -1 --format=%ct "$release_commit")

# Its own build: configure, then only the two class jars (no natives, no tests).
cmake -S "$scratch/src" -B "$scratch/build" -DVRXCHDET_BUILD_TESTS=OFF >"$scratch/build.log" 2>&1 \
  && cmake --build "$scratch/build" --target connector change_feed >>"$scratch/build.log" 2>&1 \
  || { cat "$scratch/build.log" >&2; fail "the build of $release_commit"; }
built=$scratch/build/java

out=$scratch/repo
publish() { # ARTIFACT_ID CLASS_JAR
  local artifact=$1 jar=$2 dir=$out/$group_path/$1/$version
  mkdir -p "$dir"
  python3 - "$jar" "$dir/$artifact-$version.jar" "$commit_time" <<'PY'
import sys, time, zipfile
src, dst, when = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(when)[:6]
with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w") as zout:
    for entry in zin.infolist():
        if entry.filename.startswith("META-INF/native/"):
            sys.exit(f"{src} holds natives: {entry.filename}")
        info = zipfile.ZipInfo(entry.filename, stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3
        info.external_attr = (0o40755 << 16 | 0x10) if entry.is_dir() else 0o100644 << 16
        zout.writestr(info, zin.read(entry), compresslevel=9)
PY
  cp "$built/maven/$artifact-$version.pom" "$dir/"
  cat > "$out/$group_path/$artifact/maven-metadata.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<metadata>
  <groupId>${group_path//\//.}</groupId>
  <artifactId>$artifact</artifactId>
  <versioning>
    <latest>$version</latest>
    <release>$version</release>
    <versions>
      <version>$version</version>
    </versions>
    <lastUpdated>$(date -u -d "@$commit_time" +%Y%m%d%H%M%S)</lastUpdated>
  </versioning>
</metadata>
XML
  local f
  for f in "$dir/$artifact-$version.jar" "$dir/$artifact-$version.pom" "$out/$group_path/$artifact/maven-metadata.xml"; do
    sha1sum "$f" | cut -d' ' -f1 | tr -d '\n' > "$f.sha1"
    md5sum "$f" | cut -d' ' -f1 | tr -d '\n' > "$f.md5"
  done
}
publish vrxchdet-connector "$built/connector-classes-$version.jar"
publish vrxchdet-change-feed "$built/change-feed-$version.jar"

if $check; then
  diff -r "$here/$group_path" "$out/$group_path" \
    || fail "$here/$group_path differs from what $release_commit builds (rerun rebuild.sh)"
  echo "api-baseline: $group_path matches $release_commit ($version)"
else
  rm -rf "${here:?}/${group_path%%/*}"
  cp -r "$out/${group_path%%/*}" "$here/"
  echo "api-baseline: $group_path remade from $release_commit ($version)"
fi
