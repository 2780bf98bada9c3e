# shellcheck shell=bash
# The Wine environment every Windows test runs in. Source this file, then:
#   wine_env_init BUILD_DIR   exports the prefix and settings for that build tree
#   wine_display_start        starts a private Xvfb when no display is set
#   wine_prefix_ensure        creates and configures the prefix once (later runs reuse it)
#   wine_env_down             shuts wineserver down and stops a display started here
#
# The prefix lives in BUILD_DIR/wine/prefix. It has the CJK font mapped for the faces the
# installer asks for, drive C: (the system), D: (an empty folder of the build tree, so the
# first non-system drive is known), Z: (the host's root, for test programs and data),
# where a tmpfs can be mounted, F: (a 256 KiB disk that fills up), and the network share
# \\setup-host\share (another empty folder of the build tree, for network paths).
#
# The font is WenQuanYi Micro Hei, which asks to be drawn smoothed from 6 pixels up: the
# wizard's 9-point text (12 pixels at 96 DPI) and its 16-pixel title keep their strokes.
# WenQuanYi Zen Hei asked for aliased drawing from 9 to 16 pixels, and its few hints broke
# strokes there.

# Raised whenever the prefix's making changes: a prefix of another version is made again.
setup_wine_prefix_version=2

wine_env_init() {
  mkdir -p "$1"
  setup_wine_build=$(cd "$1" && pwd)
  export WINEPREFIX="$setup_wine_build/wine/prefix"
  export WINEARCH=win64
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  # zh_CN gives the ANSI code page 936 of the systems the installer is made for.
  export LC_ALL=zh_CN.UTF-8
  # As long as CTest gives the longest test program (900 s).
  export SETUP_WINE_TIMEOUT=${SETUP_WINE_TIMEOUT:-900}
  # Wine reads a file's rights from its mode: what others may write there, Everyone may.
  # The installer refuses a folder on the way that anyone may change, so nothing made for
  # the tests is writable by others.
  umask 022
  mkdir -p "$setup_wine_build/wine"
}

wine_display_start() {
  [ -n "${DISPLAY:-}" ] && return 0
  local fdfile="$setup_wine_build/wine/xvfb.display"
  rm -f "$fdfile"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$fdfile" >/dev/null 2>&1 &
  setup_wine_xvfb_pid=$!
  local _
  for _ in $(seq 1 100); do
    [ -s "$fdfile" ] && break
    sleep 0.1
  done
  if [ ! -s "$fdfile" ]; then
    echo "wine-env: Xvfb did not start" >&2
    return 1
  fi
  DISPLAY=":$(head -n 1 "$fdfile")"
  export DISPLAY
}

wine_display_stop() {
  if [ -n "${setup_wine_xvfb_pid:-}" ]; then
    kill "$setup_wine_xvfb_pid" 2>/dev/null || true
    wait "$setup_wine_xvfb_pid" 2>/dev/null || true
    unset setup_wine_xvfb_pid DISPLAY
  fi
}

# Writes the font substitutions as a UTF-16 .reg file (the face names are Chinese).
wine_font_reg() {
  local font="WenQuanYi Micro Hei"
  {
    printf '\xff\xfe'
    printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
      '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]' \
      "\"宋体\"=\"$font\"" "\"SimSun\"=\"$font\"" "\"MS Shell Dlg\"=\"$font\"" \
      "\"MS Shell Dlg 2\"=\"$font\"" '' \
      '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
      "\"宋体\"=\"$font\"" "\"SimSun\"=\"$font\"" '' | iconv -f UTF-8 -t UTF-16LE
  } >"$1"
}

wine_prefix_create() {
  local stamp="$WINEPREFIX/.setup-prefix-v$setup_wine_prefix_version"
  [ -f "$stamp" ] && return 0
  echo "wine-env: creating the Wine prefix in $WINEPREFIX" >&2
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  timeout -k 10 300 wineboot -i >/dev/null 2>&1 || {
    echo "wine-env: wineboot failed or timed out" >&2
    return 1
  }
  local reg="$setup_wine_build/wine/fonts.reg"
  wine_font_reg "$reg"
  timeout -k 10 120 wine regedit /S "$(winepath -w "$reg" 2>/dev/null || echo "Z:$reg")" \
    >/dev/null 2>&1 || {
    echo "wine-env: font registry settings failed" >&2
    return 1
  }
  # Drives, deliberately: C: the system, D: an empty folder, Z: the host.
  local dev="$WINEPREFIX/dosdevices"
  find "$dev" -mindepth 1 -maxdepth 1 ! -name 'c:' -exec rm -f {} +
  mkdir -p "$setup_wine_build/wine/drive_d"
  ln -s "$setup_wine_build/wine/drive_d" "$dev/d:"
  ln -s / "$dev/z:"
  timeout -k 5 60 wineserver -w || true
  touch "$stamp"
}

# Drive F: is a small tmpfs (256 KiB) for the full-disk tests, where this user may mount
# one (root); elsewhere F: does not exist and those tests skip. Its root is not writable by
# others (a tmpfs's is, by default), as a volume's root the installer accepts.
wine_small_disk() {
  local dir="$setup_wine_build/wine/small_disk" link="$WINEPREFIX/dosdevices/f:"
  mkdir -p "$dir"
  if ! mountpoint -q "$dir"; then
    if [ "$(id -u)" -ne 0 ] || ! mount -t tmpfs -o size=256k,mode=755 tmpfs "$dir" 2>/dev/null; then
      rm -f "$link"
      return 0
    fi
  fi
  ln -sfn "$dir" "$link"
}

# Unmounts F: and removes the drive, so that no test writes to a plain folder in its place.
wine_small_disk_release() {
  local dir="${setup_wine_build:-}/wine/small_disk"
  if [ -n "${setup_wine_build:-}" ] && mountpoint -q "$dir" 2>/dev/null; then
    umount "$dir" 2>/dev/null || true
    rm -f "${WINEPREFIX:-/nonexistent}/dosdevices/f:"
  fi
}

# \\setup-host\share: Wine finds a network path's share in dosdevices/unc/SERVER/SHARE.
wine_unc_share() {
  local dir="$setup_wine_build/wine/unc_share" server="$WINEPREFIX/dosdevices/unc/setup-host"
  mkdir -p "$dir" "$server"
  ln -sfn "$dir" "$server/share"
}

wine_prefix_ensure() {
  # Parallel test runs share the prefix: one creates it, the others wait.
  (
    flock 9
    wine_prefix_create && wine_small_disk && wine_unc_share
  ) 9>"$setup_wine_build/wine/.lock"
}

wine_env_down() {
  timeout -k 5 30 wineserver -k >/dev/null 2>&1 || true
  wine_small_disk_release
  wine_display_stop
}
