#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter (any 3.13.x) that has the
# headers the module builds against, or nothing, with the reason on stderr.
#
# Looked for in this order:
#   1. $PYTHON, when set (then nothing else is tried);
#   2. pyenv's newest installed 3.13.x;
#   3. `python3.13` on PATH.
#
#   tools/python313.sh          the interpreter, or nothing
#   tools/python313.sh --need   the same, but exits 1 with what to install
set -uo pipefail

need=0
[ "${1:-}" = --need ] && need=1

# Exit 0 when $1 runs CPython 3.13 and its Python.h is there.
usable() {
  "$1" - <<'EOF' 2>/dev/null
import os, platform, sys, sysconfig
ok = (platform.python_implementation() == "CPython" and sys.version_info[:2] == (3, 13)
      and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
sys.exit(0 if ok else 1)
EOF
}

candidates=()
if [ -n "${PYTHON:-}" ]; then
  candidates+=("$(command -v "$PYTHON" || echo "$PYTHON")")
else
  roots=()
  command -v pyenv >/dev/null && roots+=("$(pyenv root 2>/dev/null)")
  roots+=("${PYENV_ROOT:-$HOME/.pyenv}" /root/.pyenv)
  for root in "${roots[@]}"; do
    [ -d "$root/versions" ] || continue
    # Newest first: 3.13.10 after 3.13.9.
    for v in $(ls "$root/versions" | grep -E '^3\.13\.[0-9]+$' | sort -t. -k3,3nr); do
      candidates+=("$root/versions/$v/bin/python3.13")
    done
  done
  command -v python3.13 >/dev/null && candidates+=("$(command -v python3.13)")
fi

for exe in "${candidates[@]}"; do
  if [ -x "$exe" ] && usable "$exe"; then
    echo "$exe"
    exit 0
  fi
done

if [ "$need" = 1 ]; then
  if [ -n "${PYTHON:-}" ]; then
    echo "PYTHON=$PYTHON is not a CPython 3.13 with its headers (Python.h)." >&2
  else
    echo "No CPython 3.13 found (looked at pyenv's 3.13.x versions and python3.13 on PATH)." >&2
  fi
  cat >&2 <<'EOF'
Install any CPython 3.13.x with its development headers, for example
  pyenv install 3.13        (pyenv builds it with its headers), or
  your system's python3.13 and python3.13-dev packages,
or name one explicitly: make PYTHON=/path/to/python3.13 ...
EOF
  exit 1
fi
exit 0
