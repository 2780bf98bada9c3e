#!/usr/bin/env bash
# The package as an outside project uses it: installed from the Windows build tree BUILD,
# found by a project of its own that makes a release of a small folder - its own version,
# signed inside and out with the tests' certificate - and that installer run silently
# under Wine, installing the folder's files byte for byte, stating the release's version,
# and leaving an uninstall.exe whose signature verifies.
#   tests/outside/run.sh BUILD
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "$1" && pwd)
work=$build/outside
rm -rf "$work"
mkdir -p "$work/payload/docs"
printf 'outside product\r\n' >"$work/payload/readme.txt"
head -c 70000 /dev/urandom >"$work/payload/docs/data.bin"
cp "$build/demo/Korvel互动.exe" "$work/payload/"   # the client, which every payload holds
cmake --install "$build" --prefix "$work/prefix" >/dev/null
signing=$build/tests/signing
cmake -S "$here" -B "$work/build" -G Ninja -DPAYLOAD="$work/payload" \
  -DKorvelSetup_DIR="$work/prefix/lib/cmake/KorvelSetup" \
  "-DSIGN_COMMAND=$here/../../scripts/sign-osslsigncode;$signing/cert.pem;$signing/key.pem" \
  >/dev/null
cmake --build "$work/build"
installer=$work/build/setup_outside_1.exe
target=$build/wine/drive_d/outside
rm -rf "$target" "$build/wine/drive_d/outside.log"
"$here/../../scripts/wine-run" --build-dir "$build" "Z:${installer//\//\\}" /S /NORUN \
  '/LOG=D:\outside.log' '/D=D:\outside'
status=0
for f in readme.txt docs/data.bin Korvel互动.exe; do
  cmp "$work/payload/$f" "$target/$f" || status=1
done
for signed in "$installer" "$target/uninstall.exe"; do
  osslsigncode verify -CAfile "$signing/cert.pem" -in "$signed" >/dev/null || {
    echo "outside project: the signature of $signed does not verify"
    status=1
  }
done
grep -q ', version 3\.2\.1' "$build/wine/drive_d/outside.log" || {
  echo "outside project: the installer's log does not state version 3.2.1"
  status=1
}
"$here/../../scripts/wine-run" --build-dir "$build" 'D:\outside\uninstall.exe' -silent || status=1
[ "$status" -eq 0 ] && echo "outside project: installed and removed"
exit "$status"
