#!/usr/bin/env bash
# The long campaigns against the real installer under Wine, outside the normal test run:
#
#   scripts/campaign.sh [cancel|kill|upgrade-cancel|upgrade-kill|tamper|all] [--runs N]
#                       [--seed S] [--only K]
#
#   cancel   the wizard's quit question answered Yes at seeded moments (default 30 runs)
#   kill     silent installations ended with TerminateProcess at seeded moments (30)
#   upgrade-cancel, upgrade-kill
#            the same for an upgrade of an installation of the demo payload by the
#            reference payload's installer, into its folder or another, at its commit too:
#            a complete installation must stay (30 each)
#   tamper   copies of the installer flipped in seeded 4 KiB regions, as many as the runs
#            (default 200: every region at least once), plus the headers, every resource,
#            cut and extended copies, the signed installer and damaged packages
#   --seed   the seed (default: the clock); each campaign prints it with every run
#   --only   makes only run K of that seed, to repeat a failure exactly
#
# Uses the win64 build tree (build it first: cmake --preset win64 && cmake --build --preset
# win64). Exits non-zero when any run failed. The normal test run makes a short run of each
# with a fixed seed.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1

which=all
runs=
seed=
only=
while [ $# -gt 0 ]; do
  case $1 in
    cancel | kill | upgrade-cancel | upgrade-kill | tamper | all) which=$1 ;;
    --runs) runs=$2; shift ;;
    --seed) seed=$2; shift ;;
    --only) only=$2; shift ;;
    *)
      echo "usage: scripts/campaign.sh [cancel|kill|upgrade-cancel|upgrade-kill|tamper|all]" \
        "[--runs N] [--seed S] [--only K]" >&2
      exit 2
      ;;
  esac
  shift
done
seed=${seed:-$(date +%s)}
program=build/win64/tests/setup_campaign_tests.exe
if [ ! -f "$program" ]; then
  echo "campaign: $program is missing; build the win64 preset first" >&2
  exit 2
fi

# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
wine_env_init "$root/build/win64"
wine_display_start || exit 1
wine_prefix_ensure || exit 1
# A long campaign runs longer than one test program is usually allowed.
export SETUP_WINE_TIMEOUT=${SETUP_WINE_TIMEOUT:-7200}

status=0
for campaign in cancel kill upgrade-cancel upgrade-kill tamper; do
  [ "$which" = all ] || [ "$which" = "$campaign" ] || continue
  case $campaign in
    cancel) test=Campaign.CancelAnywhere default=30 ;;
    kill) test=Campaign.KillAnywhere default=30 ;;
    upgrade-cancel) test=Campaign.UpgradeCancelledAnywhere default=30 ;;
    upgrade-kill) test=Campaign.UpgradeKilledAnywhere default=30 ;;
    tamper) test=Campaign.TamperSweep default=200 ;;
  esac
  echo "== $campaign: seed $seed, ${runs:-$default} runs"
  SETUP_CAMPAIGN_SEED=$seed SETUP_CAMPAIGN_RUNS=${runs:-$default} SETUP_CAMPAIGN_ONLY=$only \
    "$root/scripts/wine-run" --build-dir build/win64 "$program" --gtest_filter="$test" ||
    status=1
done
wine_env_down
exit $status
