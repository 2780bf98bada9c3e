#!/usr/bin/env bash
# The layer check refuses every way a file can reach across its layer that the compiler
# accepts: each row plants one in its own copy of a small clean tree, and the check must then
# fail and name the planted file. The clean tree and this checkout must pass.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

put() { mkdir -p "$(dirname "$1/$2")" && printf '%b\n' "$3" >"$1/$2"; }

clean_tree() {
  put "$1" core/text/Ascii.h '#include <string_view>'
  put "$1" core/inflate/Inflate.h '#include <cstdint>\n#include "core/text/Ascii.h"'
  put "$1" core/install/Run.h '#include "core/inflate/Inflate.h"'
  put "$1" win/base/Text.h '#include <windows.h>'
  put "$1" installer/flow/Flow.h '#include "core/install/Run.h"\n#include "win/base/Text.h"'
  put "$1" installer/flow/Flow.cpp '#include "Flow.h"'
  put "$1" installer/wizard/WizardDialog.h '#include "installer/flow/Flow.h"'
  put "$1" bench/bench_util.h '#include <chrono>'
  put "$1" tests/unit/row_name.h '#include "core/install/Run.h"'
}

wizard=installer/wizard/WizardDialog.h
# name | planted file | its text
cases="angle brackets|installer/flow/Angle.cpp|#include <$wizard>
dot-dot through win|installer/flow/Dots.cpp|#include \"win/../$wizard\"
relative to the file|installer/flow/Relative.cpp|#include \"../wizard/WizardDialog.h\"
core sideways|core/inflate/Up.cpp|#include \"core/install/Run.h\"
platform header in core|core/install/Platform.inl|#include <windows.h>
quoted platform header in core|core/text/Case.hh|#include \"windows.h\"
ipp file|core/inflate/Detail.ipp|#include \"win/base/Text.h\"
spaces and a tab|win/base/Spaced.h|#  include\t\"installer/flow/Flow.h\"
comment in the directive|installer/flow/Comment.cpp|#/* x */include \"$wizard\"
directive spliced over two lines|installer/flow/Splice.cpp|#\\\\\ninclude \"$wizard\"
digraph|installer/flow/Digraph.hpp|%:include \"$wizard\"
a /* inside a literal|installer/flow/Literal.cpp|auto s = \"/*\";\n#include \"$wizard\"\n// */
include through a macro|installer/flow/Macro.cpp|#define PAGE \"$wizard\"\n#include PAGE
resource template|resources/wizard.rc.in|#include \"$wizard\"
bench from the product|demo/Timing.cpp|#include \"bench/bench_util.h\"
tests from the product|uninstaller/Probe.cpp|#include \"tests/unit/row_name.h\"
tests/unit reaching win|tests/unit/text_test.cpp|#include \"win/base/Text.h\"
folder in no row|core/extra/Thing.h|#include <cstdint>"

run_check() { "$here/check-layers.sh" "$1" 2>&1; }

failed=0 n=0
clean_tree "$scratch/clean"
run_check "$scratch/clean" >/dev/null || { echo "FAIL: the clean tree is refused" && failed=1; }
run_check "$here/.." >/dev/null || { echo "FAIL: this checkout is refused" && failed=1; }
while IFS='|' read -r name file text; do
  tree=$scratch/$((++n))
  clean_tree "$tree"
  put "$tree" "$file" "$text"
  if out=$(run_check "$tree"); then
    echo "FAIL: $name: passed"
    failed=1
  elif [[ $out != *"$file:"* ]]; then
    echo "FAIL: $name: $file not named in: $out"
    failed=1
  fi
done <<<"$cases"
[ "$failed" -eq 0 ] && echo "check-layers-test: $n planted violations refused"
exit "$failed"
