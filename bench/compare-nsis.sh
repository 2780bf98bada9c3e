#!/usr/bin/env bash
# Compares our installer with NSIS 3 in one run, on the same payloads doing the same work,
# under Wine on this machine. Prints a Markdown table with ratios ours/NSIS; every figure is
# measured in this run, peers interleaved round by round.
#
#   bench/compare-nsis.sh [--build-dir DIR] [--rounds N] [--pack-rounds N]
#                         [--payloads reference,tiny,big,demo] [--quick] [--keep]
#
# Payloads (made below DIR/compare/payloads, reused while their generator is unchanged):
#   reference  the reference-scale payload (gen_payload, 1,125 files, about 32.8 MB)
#   tiny       10,001 files: 9,999 of 16-512 bytes in 100 folders, the component and the
#              client (docs/PERFORMANCE.md's figures were taken without the client)
#   big        about 100 MB: the reference payload and two more (seeds 78, 79) in
#              sub-folders, under the 104,857,600-byte package limit (524 bytes per file
#              counted for its header)
#   demo       the demo payload (the client, the component and demo/payload_files)
# Every payload has the real component imageOle.dll at the top, which both installers
# register.
#
# The installers:
#   ours       setup_portal_77.exe, built by add_setup_executable exactly as the product's
#              installer (target setup_compare_NAME, bench/CMakeLists.txt); run
#              /S /NORUN /NOSHORTCUTS /D=folder
#   nsis-zlib  makensis, SetCompressor /SOLID zlib, Target amd64-unicode (Wine here has no
#              32-bit loader); run /S /D=folder
#   nsis-lzma  the same with /SOLID lzma, for reference
# Both install every file into the folder, run cmd /c RegSvr32 /s "folder\imageOle.dll"
# hidden and wait for it, write an uninstaller and the uninstall entry (HKLM ...\Uninstall\
# name with DisplayName and UninstallString); ours also writes its manifest, the channel
# file and the other values of its entry, and checks its own digest first (NSIS its CRC).
#
# Figures per payload and installer:
#   install    silent installation, wall time of `wine setup.exe ...` with wineserver and
#              the Wine services already running; a fresh folder each round, kept until
#              the payload's rounds end (a file made just after others were deleted costs
#              the file system a search past them), the uninstall entries removed by their
#              names between rounds; the folders go after the payload's rounds, and the
#              next payload's rounds wait until 90 s after that. min, median, and the median of
#              the per-round ratios ours/peer (rounds interleave the installers, rotating
#              their order)
#   install CPU  the same installation's CPU time: the installer process's user and system
#              time (/usr/bin/time %U %S of the wine command) plus what the Wine server of
#              this prefix spent meanwhile (from /proc/PID/stat), so that a busy machine
#              can neither hide nor invent a gain; RegSvr32, which both start, is not
#              counted. Median and median of the per-round ratios. The 1-minute load
#              average before each round is listed beside it
#   copy floor the payload's files copied from the host folder into a fresh folder with
#              CopyFileW, one after another (setup_copy_floor.exe), in the same rounds: the
#              least an installation of them can cost; wall and CPU time as above
#   peak RSS   the installer process's maximum resident set (rusage of the wine command,
#              which execs into the installer's process; the programs it starts are not its
#              children under Wine and are not counted), median
#   anonymous  the installer process's peak anonymous resident set (RssAnon, sampled every
#              2 ms by bench/run_measured.py): its private memory, without the file-backed
#              pages of its image and DLLs; median
#   size       the installer file
#   window     start-up to the first visible top-level window, without /S: the helper
#              setup_first_window.exe starts the installer, polls EnumWindows, then ends it;
#              median and median of the per-round ratios
#   pack       making the installer from the folder: the two commands the installer's
#              build rule (setup_compare_NAME) runs, `setup_pack build` of the prebuilt
#              stub (pack at the packager's default level on every core, stamp) and
#              `setup_pack verify`, vs. makensis, each run as a packaging team runs it,
#              without a build system around it; wall and CPU time (user and system of
#              everything the command ran), min, median and median of the per-round ratios
# Every timed figure has the 1-minute load average before each round beside it.
#
# Options:
#   --build-dir DIR   a win64 build tree (default build/win64; configured if missing). The
#                     script adds SETUP_COMPARE_PAYLOADS to its cache and builds what it needs.
#   --rounds N        install and window rounds (default 7)
#   --pack-rounds N   packing rounds (default 5; 0: build the installers, time no packing)
#   --payloads LIST   comma-separated, default reference,tiny,big,demo
#   --quick           --rounds 2 --pack-rounds 1 --payloads reference,demo
#   --keep            keep the last install folders under Wine's D:\compare
# Results also go to DIR/compare/results.md, the raw figures to DIR/compare/raw.tsv (the
# table is bench/compare_table.py's), and copies of both to DIR/compare/runs/DATE-TIME.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/win64"
rounds=7
pack_rounds=5
payloads="reference,tiny,big,demo"
keep=0

usage() { # exit-status: the text goes to stdout for --help, to stderr otherwise
  if [ "$1" -eq 0 ]; then
    sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'
  else
    sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//' >&2
  fi
  exit "$1"
}

while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --pack-rounds) pack_rounds=$2; shift 2 ;;
    --payloads) payloads=$2; shift 2 ;;
    --quick) rounds=2; pack_rounds=1; payloads="reference,demo"; shift ;;
    --keep) keep=1; shift ;;
    -h|--help) usage 0 ;;
    *) echo "compare-nsis: unknown argument $1" >&2; usage 2 ;;
  esac
done
case "$rounds$pack_rounds" in
  *[!0-9]*) echo "compare-nsis: rounds must be numbers" >&2; exit 2 ;;
esac
if [ "$rounds" -lt 1 ]; then
  echo "compare-nsis: rounds must be at least 1" >&2
  exit 2
fi
IFS=, read -r -a payload_list <<<"$payloads"
for p in "${payload_list[@]}"; do
  case "$p" in
    reference|tiny|big|demo) ;;
    *) echo "compare-nsis: unknown payload $p" >&2; exit 2 ;;
  esac
done

for tool in cmake makensis wine wineserver python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || {
    echo "compare-nsis: $tool is missing (scripts/setup.sh installs it)" >&2
    exit 1
  }
done

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
mkdir -p "$build"
build=$(cd "$build" && pwd)
work="$build/compare"
pl="$work/payloads"
mkdir -p "$work" "$pl"
raw="$work/raw.tsv"
: >"$raw"
log="$work/log.txt"
: >"$log"

note() { echo "compare-nsis: $*" >&2; }
now_ns() { date +%s%N; }
seconds_since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
record() { printf '%s\t%s\t%s\t%s\t%s\n' "$@" >>"$raw"; }

# --- the build: the tools, then the payloads, then our installers --------------------------
compare_cache=()
for p in "${payload_list[@]}"; do
  compare_cache+=("$p=$pl/$p")
done
compare_value=$(IFS=';'; echo "${compare_cache[*]}")
note "configuring $build"
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -B "$build" "-DSETUP_COMPARE_PAYLOADS=$compare_value" >>"$log" 2>&1
else
  (cd "$root" && cmake --preset win64 -B "$build" "-DSETUP_COMPARE_PAYLOADS=$compare_value") \
    >>"$log" 2>&1
fi || { note "configure failed, see $log"; exit 1; }
note "building the tools, the component and the demo payload"
cmake --build "$build" --target setup_host_tools imageole korvel_client setup_demo_payload \
  setup_first_window setup_copy_floor setup_uninstaller setup_wizard_resources >>"$log" 2>&1 ||
  { note "build failed, see $log"; exit 1; }
gen="$build/host-tools/demo/setup_gen_payload"
component="$build/demo/ImageOle.dll"
client="$build/demo/Korvel互动.exe"
first_window="$build/bench/setup_first_window.exe"
copy_floor="$build/bench/setup_copy_floor.exe"

# A payload is made again when its recipe (this script's generator lines and the
# generator's binary) changes; FOLDER.stamp tells the build to repack.
make_payload() {
  local name=$1 dir="$pl/$1" recipe
  recipe="v2 $name $(sha256sum "$gen" "$component" | cut -c1-16 | tr '\n' ' ')"
  if [ "$name" = demo ]; then
    recipe="$recipe $(cd "$build/demo/payload" && find . -type f -printf '%p %s %T@\n' |
      sort | sha256sum | cut -c1-16)"
  fi
  if [ -f "$dir.stamp" ] && [ "$(cat "$dir.recipe" 2>/dev/null)" = "$recipe" ]; then
    return 0
  fi
  note "making payload $name"
  rm -rf "$dir"
  case "$name" in
    reference) "$gen" --component "$component" "$dir" >>"$log" ;;
    big)
      "$gen" --component "$component" "$dir" >>"$log"
      "$gen" --seed 78 "$dir/extra78" >>"$log"
      "$gen" --seed 79 "$dir/extra79" >>"$log"
      ;;
    tiny)
      python3 - "$dir" "$component" "$client" <<'EOF'
import os, random, shutil, sys
out, component, client = sys.argv[1], sys.argv[2], sys.argv[3]
rng = random.Random(10000)
words = b"korvel brimvale video room gift emotion skin config text data ".split()
for i in range(9999):
    folder = os.path.join(out, "d%02d" % (i % 100))
    os.makedirs(folder, exist_ok=True)
    size = rng.randint(16, 512)
    body = b" ".join(rng.choice(words) for _ in range(size // 4 + 1))[:size]
    with open(os.path.join(folder, "f%04d.txt" % i), "wb") as f:
        f.write(body)
shutil.copyfile(component, os.path.join(out, "ImageOle.dll"))
shutil.copyfile(client, os.path.join(out, os.path.basename(client)))
EOF
      ;;
    demo) cp -r "$build/demo/payload" "$dir" ;;
  esac
  echo "$recipe" >"$dir.recipe"
  touch "$dir.stamp"
}

# The inflated package: each file's bytes and 524 bytes of header.
package_bytes() {
  find "$1" -type f -printf '%s\n' | awk '{ n++; b += $1 } END { printf "%d %d %d\n", n, b, b + 524 * n }'
}

for p in "${payload_list[@]}"; do
  make_payload "$p"
  read -r files bytes package < <(package_bytes "$pl/$p")
  note "payload $p: $files files, $bytes bytes, package $package bytes"
  if [ "$package" -ge 104857600 ]; then
    note "payload $p is over the installer's package limit"
    exit 1
  fi
  record "$p" payload files 0 "$files"
  record "$p" payload bytes 0 "$bytes"
done

# The name our installer files its uninstall entry under: the product's name. Without it the
# .reg below would delete the whole Uninstall key.
our_entry=$(sed -n 's/^#define SETUP_PRODUCT_NAME "\([^"]*\)"$/\1/p' "$root/core/product/Version.h")
if [ -z "$our_entry" ]; then
  echo "compare-nsis: no SETUP_PRODUCT_NAME in core/product/Version.h" >&2
  exit 1
fi
nsis_entry="KorvelNsisCompare"

nsis_script() { # payload compressor output
  cat <<EOF
Unicode true
Target amd64-unicode
SetCompressor /SOLID $2
RequestExecutionLevel admin
Name "Korvel NSIS compare"
OutFile "$3"
InstallDir "\$PROGRAMFILES64\\nsis_compare"
Page directory
Page instfiles
UninstPage instfiles

Section
  SetOutPath "\$INSTDIR"
  File /r "$pl/$1/*"
  nsExec::Exec 'cmd /c RegSvr32 /s "\$INSTDIR\\imageOle.dll"'
  Pop \$0
  WriteUninstaller "\$INSTDIR\\uninstall.exe"
  WriteRegStr HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$nsis_entry" "DisplayName" "Korvel NSIS compare"
  WriteRegStr HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$nsis_entry" "UninstallString" '"\$INSTDIR\\uninstall.exe"'
SectionEnd

Section Uninstall
  nsExec::Exec 'cmd /c RegSvr32 /u /s "\$INSTDIR\\imageOle.dll"'
  Pop \$0
  DeleteRegKey HKLM "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$nsis_entry"
  RMDir /r "\$INSTDIR"
SectionEnd
EOF
}

# --- packing -------------------------------------------------------------------------
measured="$root/bench/run_measured.py"

pack_once() { # payload impl round command...
  local p=$1 i=$2 r=$3 t load user system
  shift 3
  load=$(cut -d' ' -f1 /proc/loadavg)
  t=$(now_ns)
  python3 "$measured" "$work/rss" "$@" >>"$log" 2>&1 ||
    { note "packing $p with $i failed, see $log"; exit 1; }
  record "$p" "$i" pack "$r" "$(seconds_since "$t")"
  read -r _ user system _ <"$work/rss"
  record "$p" "$i" pack_cpu "$r" "$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')"
  record "$p" "$i" pack_load "$r" "$load"
}

declare -A exe
for p in "${payload_list[@]}"; do
  mkdir -p "$work/nsis/$p"
  for c in zlib lzma; do
    # Rewritten only when it changes, so that a build of it can be reused (--pack-rounds 0).
    nsis_script "$p" "$c" "$work/nsis/$p/nsis_$c.exe" >"$work/nsis/$p/$c.nsi.new"
    if cmp -s "$work/nsis/$p/$c.nsi.new" "$work/nsis/$p/$c.nsi"; then
      rm "$work/nsis/$p/$c.nsi.new"
    else
      mv "$work/nsis/$p/$c.nsi.new" "$work/nsis/$p/$c.nsi"
    fi
  done
  exe[$p,ours]="$build/bench/compare/$p/setup_portal_77.exe"
  exe[$p,nsis-zlib]="$work/nsis/$p/nsis_zlib.exe"
  exe[$p,nsis-lzma]="$work/nsis/$p/nsis_lzma.exe"
  # Our installer's chain once to build the program itself; the timed rounds then repack.
  cmake --build "$build" --target "setup_compare_$p" >>"$log" 2>&1 ||
    { note "building our installer of $p failed, see $log"; exit 1; }
  if [ "$pack_rounds" -eq 0 ]; then
    for c in zlib lzma; do
      if [ "${exe[$p,nsis-$c]}" -nt "$work/nsis/$p/$c.nsi" ] &&
        [ "${exe[$p,nsis-$c]}" -nt "$pl/$p.stamp" ]; then
        continue
      fi
      LC_ALL=C.UTF-8 makensis -V2 "$work/nsis/$p/$c.nsi" >>"$log" 2>&1 ||
        { note "makensis $c of $p failed, see $log"; exit 1; }
    done
  fi
  for ((r = 1; r <= pack_rounds; r++)); do
    note "packing $p, round $r of $pack_rounds"
    # shellcheck disable=SC2016 # the inner shell expands its own arguments
    pack_once "$p" ours "$r" sh -c '"$1" build "$2" "$3" "$4" && "$1" verify "$4"' packing \
      "$build/host-tools/tools/pack/setup_pack" "$build/resources/setup_stub.exe" "$pl/$p" \
      "${exe[$p,ours]}"
    for c in zlib lzma; do
      LC_ALL=C.UTF-8 pack_once "$p" "nsis-$c" "$r" makensis -V2 "$work/nsis/$p/$c.nsi"
    done
  done
  for i in ours nsis-zlib nsis-lzma; do
    record "$p" "$i" size 0 "$(stat -c %s "${exe[$p,$i]}")"
  done
done

# --- Wine ----------------------------------------------------------------------------
# shellcheck source=scripts/wine-env.sh disable=SC1091
source "$root/scripts/wine-env.sh"
wine_env_init "$build"
wine_display_start
cleanup() {
  wine_env_down
  [ "$keep" -eq 1 ] || rm -rf "$drive_d/compare"
}
drive_d="$build/wine/drive_d"
trap cleanup EXIT
wine_prefix_ensure
# One wineserver with the services up for the whole run: runs do not pay its start-up.
wineserver -p
timeout -k 5 120 wine cmd /c exit >/dev/null 2>&1 || true

# The uninstall entries of both installers, in both registry views, as a .reg that deletes.
unreg="$work/unregister.reg"
{
  printf '\xff\xfe'
  {
    printf '%s\r\n' 'Windows Registry Editor Version 5.00' ''
    for name in "$our_entry" "$nsis_entry"; do
      for view in "" "Wow6432Node\\"; do
        printf '[-HKEY_LOCAL_MACHINE\\Software\\%sMicrosoft\\Windows\\CurrentVersion\\Uninstall\\%s]\r\n' \
          "$view" "$name"
      done
    done
  } | iconv -f UTF-8 -t UTF-16LE
} >"$unreg"
unreg_win="Z:${unreg//\//\\}"

# Waits until no process of this prefix runs one of the programs the runs start (the
# installers, cmd, RegSvr32, the clients, the helper); ends them after 60 s.
settle() {
  local pid deadline=$((SECONDS + 60)) busy
  while :; do
    busy=()
    for pid in $(pgrep -u "$(id -u)" -f 'setup_portal_77|nsis_(zlib|lzma)|regsvr32|cmd\.exe|Korvel|setup_first_window|setup_copy_floor|uninstall\.exe' || true); do
      [ "$pid" = $$ ] && continue
      if grep -qzxF "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null; then
        busy+=("$pid")
      fi
    done
    [ ${#busy[@]} -eq 0 ] && return 0
    if [ $SECONDS -ge $deadline ]; then
      note "ending leftover processes ${busy[*]}"
      kill -9 "${busy[@]}" 2>/dev/null || true
    fi
    sleep 0.1
  done
}

reset_state() {
  timeout -k 5 60 wine regedit /S "$unreg_win" >/dev/null 2>&1 || true
  settle
}

# The time (SECONDS) the last payload's folders were deleted; a round's first install waits
# until 90 s after it.
deleted_at=-1000

impls=(ours nsis-zlib nsis-lzma copy)

# The user and system time the Wine server of this prefix has spent so far, in seconds.
wineserver_cpu() {
  local pid
  for pid in $(pgrep -u "$(id -u)" -x 'wineserver64|wineserver' || true); do
    if grep -qzxF "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null; then
      awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / hz }' "/proc/$pid/stat"
      return
    fi
  done
  echo 0
}

install_once() { # payload impl round
  local p=$1 i=$2 r=$3 folder win status t sec rss user system anon load server cpu
  folder="$drive_d/compare/$p/$i-$r"
  win="D:\\compare\\$p\\$i-$r"
  local args=(/S /D="$win")
  [ "$i" = ours ] && args=(/S /NORUN /NOSHORTCUTS /D="$win")
  status=0
  load=$(cut -d' ' -f1 /proc/loadavg)
  server=$(wineserver_cpu)
  t=$(now_ns)
  local command=("$copy_floor" "Z:${pl//\//\\}\\$p" "$win")
  if [ "$i" = copy ]; then
    mkdir -p "${folder%/*}"  # the installers make the folders above theirs themselves
  else
    command=("${exe[$p,$i]}" "${args[@]}")
  fi
  python3 "$measured" "$work/rss" timeout -k 10 600 wine "${command[@]}" \
    >>"$log" 2>&1 || status=$?
  sec=$(seconds_since "$t")
  read -r rss user system anon <"$work/rss"
  cpu=$(awk -v a="$server" -v b="$(wineserver_cpu)" -v u="$user" -v s="$system" \
    'BEGIN { printf "%.3f", u + s + b - a }')
  settle
  if [ "$status" -ne 0 ] || [ ! -f "$folder/ImageOle.dll" ] ||
    { [ "$i" != copy ] && [ ! -f "$folder/uninstall.exe" ]; }; then
    note "$i on $p, round $r: exit $status, or files missing in $folder"
    exit 1
  fi
  record "$p" "$i" install "$r" "$sec"
  record "$p" "$i" install_cpu "$r" "$cpu"
  record "$p" "$i" load "$r" "$load"
  record "$p" "$i" rss_kib "$r" "$rss"
  record "$p" "$i" anon_kib "$r" "$anon"
  note "$p $i round $r: ${sec}s, CPU ${cpu}s (installer ${user}+${system}s), load $load," \
    "peak RSS ${rss} KiB, anonymous ${anon} KiB"
}

window_once() { # payload impl round
  local p=$1 i=$2 r=$3 out
  local program="Z:${exe[$p,$i]//\//\\}"
  record "$p" "$i" window_load "$r" "$(cut -d' ' -f1 /proc/loadavg)"
  out=$(timeout -k 10 120 wine "$first_window" "$program" 2>>"$log") || {
    note "no first window of $i on $p"
    exit 1
  }
  settle
  out=$(sed -n 's/^first_window_ms \([0-9.]*\).*/\1/p' <<<"$out" | tr -d '\r')
  record "$p" "$i" window_ms "$r" "$out"
}

rm -rf "$drive_d/compare"
for p in "${payload_list[@]}"; do
  if [ $((SECONDS - deleted_at)) -lt 90 ]; then
    note "waiting $((90 - SECONDS + deleted_at)) s after the last folders were deleted"
    sleep $((90 - SECONDS + deleted_at))
  fi
  for r in $(seq 1 "$rounds"); do
    # Rotate the order each round so that no installer always runs first; the copy floor
    # takes its turn among them.
    for k in 0 1 2 3; do
      i=${impls[$(((r + k) % 4))]}
      reset_state
      install_once "$p" "$i" "$r"
    done
  done
  reset_state
  rm -rf "$drive_d/compare/$p"
  deleted_at=$SECONDS
  for r in $(seq 1 "$rounds"); do
    for k in 0 1 2; do
      i=${impls[$(((r + k) % 3))]}
      window_once "$p" "$i" "$r"
    done
  done
  note "$p: start-up measured"
done

# --- the table -----------------------------------------------------------------------
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores, load average (1, 5, 15 min)" \
    "at the start $load_start, at the end $(cut -d' ' -f1-3 /proc/loadavg);" \
    "$(wine --version 2>/dev/null), NSIS $(makensis -VERSION 2>/dev/null)."
  echo "$rounds install and start-up rounds, $pack_rounds packing rounds."
  echo
  python3 "$root/bench/compare_table.py" "$raw" "${payload_list[@]}"
} | tee "$work/results.md"
# Each run's table and figures are kept too, for comparing runs later.
run_dir="$work/runs/$(date -u +%Y%m%d-%H%M%S)"
mkdir -p "$run_dir"
cp "$work/results.md" "$raw" "$run_dir/"
note "table saved in $work/results.md, raw figures in $raw (copies in $run_dir)"
