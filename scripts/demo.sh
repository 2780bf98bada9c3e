#!/usr/bin/env bash
# The demo: installs what is missing, builds, packs the demo payload into
# setup_portal_77.exe and runs it under Wine. With a display it is yours to click through;
# without one, a private Xvfb runs it headless while the end-to-end driver clicks through
# every page, saves a PNG of each page at 100 % and at 200 %, checks where everything went,
# and uninstalls.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/setup.sh
# Signed like a release when a certificate is configured: SETUP_SIGN_CERT and SETUP_SIGN_KEY
# name a PEM code-signing certificate and its key. Otherwise unsigned, even if an earlier run
# signed.
sign=("-DSETUP_SIGN_COMMAND=")
if [ -n "${SETUP_SIGN_CERT:-}" ] && [ -n "${SETUP_SIGN_KEY:-}" ]; then
  sign=("-DSETUP_SIGN_COMMAND=$root/scripts/sign-osslsigncode;$SETUP_SIGN_CERT;$SETUP_SIGN_KEY")
  echo "signing with $SETUP_SIGN_CERT"
fi
cmake --preset win64 "${sign[@]}" >/dev/null
cmake --build --preset win64 >/dev/null
build="$root/build/win64"
installer="$build/resources/setup_portal_77.exe"
echo "installer: $installer ($(stat -c %s "$installer") bytes)"
build/win64/host-tools/tools/pack/setup_pack verify "$installer"

# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
wine_env_init "$build"
if [ -n "${DISPLAY:-}" ]; then
  wine_prefix_ensure
  wine_enter
  echo "running the installer on $DISPLAY; the install folder is on Wine drive D:"
  echo "($build/wine/drive_d)"
  timeout -k 10 3600 "${setup_wine_enter[@]}" wine "$installer" || true
  wine_env_down
  exit 0
fi

wine_display_start
trap wine_env_down EXIT
wine_prefix_ensure
wine_enter
shots="$root/build/demo/screenshots"
rm -rf "$shots"
mkdir -p "$shots"
echo "headless on $DISPLAY: the driver clicks through every page"
# The pages at 100 %, then again at 200 % (dpi192-*).
SETUP_E2E_SHOTS="Z:${shots//\//\\}" timeout -k 10 600 "${setup_wine_enter[@]}" wine \
  "$build/tests/setup_e2e_tests.exe" \
  --gtest_filter='Journey.CompleteInstallationThenSilentRemoval:Dpi/DpiJourney.*/Dpi192'
python3 "$root/scripts/bmp2png.py" "$shots"
echo
echo "page screenshots:"
ls -1 "$shots"/*.png
printf '%s\n' "installed into Wine's D:\\e2e\\brimvale ($build/wine/drive_d/e2e/brimvale), with the"
echo "uninstall entry, the shortcuts and the running client checked, then removed again."
