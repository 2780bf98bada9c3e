# shellcheck shell=bash
# The Wine environment every Windows test runs in. Source this file, then:
#   wine_env_init BUILD_DIR   exports the prefix and settings for that build tree
#   wine_display_start        starts a private Xvfb when no display is set
#   wine_prefix_ensure        creates and configures the prefix once (later runs reuse it)
#   wine_enter                sets "${setup_wine_enter[@]}", the command to run wine with
#   wine_env_down             shuts wineserver down and stops a display started here
#
# The prefix lives in BUILD_DIR/wine/prefix. It has the CJK font mapped for the faces the
# installer asks for, drive C: (the system), D: (an empty folder of the build tree, so the
# first non-system drive is known), Z: (the host's root, for test programs and data), F: (a
# 256 KiB disk that fills up, see wine_small_disk), and the network share \\setup-host\share
# (another empty folder of the build tree, for network paths).
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

# Drive F: is a small tmpfs (256 KiB) for the full-disk tests. Root mounts it here. Any other
# user mounts it in a user and mount namespace of its own, which Linux lets unprivileged
# users make unless it is configured not to: a process left there (its id in
# wine/namespace.pid) holds the namespace for the build, and every Wine program of the build
# runs in it (wine_enter), with the wineserver it starts, so that all of them see the same
# F:. Where neither works, F: does not exist and the full-disk tests fail saying so. Its
# root is not writable by others (a tmpfs's is, by default), as a volume's root the
# installer accepts.
wine_small_disk() {
  local dir="$setup_wine_build/wine/small_disk" link="$WINEPREFIX/dosdevices/f:" mounted=1
  mkdir -p "$dir"
  if [ "$(id -u)" -eq 0 ]; then
    mountpoint -q "$dir" || mount -t tmpfs -o size=256k,mode=755 tmpfs "$dir" 2>/dev/null ||
      mounted=0
  else
    wine_namespace_pid >/dev/null || wine_namespace_start "$dir" || mounted=0
  fi
  if [ "$mounted" -eq 0 ]; then
    echo "wine-env: no 256 KiB disk for F: (not root, and no user namespace to mount one in);" \
      "the full-disk tests will fail" >&2
    rm -f "$link"
    return 0
  fi
  ln -sfn "$dir" "$link"
}

# The id of the process that holds the build's namespace, when it runs there: the small disk
# is among its mounts.
wine_namespace_pid() {
  local pid dir="$setup_wine_build/wine/small_disk"
  pid=$(cat "$setup_wine_build/wine/namespace.pid" 2>/dev/null) || return 1
  case $pid in '' | *[!0-9]*) return 1 ;; esac
  # /proc/PID/mountinfo: the mount point is field 5 (a space as \040), the type after " - ".
  setup_wine_disk="${dir// /\\040}" awk '
    $5 == ENVIRON["setup_wine_disk"] && / - tmpfs / { found = 1 }
    END { exit !found }' "/proc/$pid/mountinfo" 2>/dev/null || return 1
  echo "$pid"
}

# Starts the process that holds the build's namespace, the small disk at $1 mounted there.
wine_namespace_start() {
  local pidfile="$setup_wine_build/wine/namespace.pid" _
  command -v nsenter >/dev/null &&
    unshare --user --map-current-user --keep-caps --mount true 2>/dev/null || return 1
  rm -f "$pidfile"
  # In a session of its own, with none of this script's descriptors (its output, its lock)
  # and no parent left waiting: it outlives them all.
  # shellcheck disable=SC2016  # the arguments expand in the inner shell
  (setsid unshare --user --map-current-user --keep-caps --mount sh -c \
    'mount -t tmpfs -o size=256k,mode=755 tmpfs "$1" || { echo failed >"$2"; exit 1; }
     echo $$ >"$2"; exec sleep infinity' sh "$1" "$pidfile" </dev/null >/dev/null 2>&1 9>&- &)
  for _ in $(seq 1 50); do
    wine_namespace_pid >/dev/null && return 0
    [ "$(cat "$pidfile" 2>/dev/null)" = failed ] && break
    sleep 0.1
  done
  return 1
}

# Sets the array setup_wine_enter to the command that runs a program in the build's
# namespace, or to nothing when there is none: "${setup_wine_enter[@]}" wine PROGRAM.
# shellcheck disable=SC2034  # for the scripts that source this file
wine_enter() {
  local pid
  setup_wine_enter=()
  if pid=$(wine_namespace_pid); then
    setup_wine_enter=(nsenter --target "$pid" --user --mount --preserve-credentials --wd="$PWD" --)
  fi
}

# Unmounts F: (or ends the process that holds its namespace) and removes the drive, so that
# no test writes to a plain folder in its place.
wine_small_disk_release() {
  local dir="${setup_wine_build:-}/wine/small_disk" pid
  [ -n "${setup_wine_build:-}" ] || return 0
  if pid=$(wine_namespace_pid); then
    kill "$pid" 2>/dev/null || true
    rm -f "$setup_wine_build/wine/namespace.pid" "${WINEPREFIX:-/nonexistent}/dosdevices/f:"
  elif mountpoint -q "$dir" 2>/dev/null; then
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
