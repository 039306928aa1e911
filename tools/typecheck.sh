#!/usr/bin/env bash
# Type-checks the package's stub (python/vostrel/_core.pyi, strictly), the
# README's Python blocks and the example hosts against it, with pyright
# from the npm registry (installed into build/typecheck/ on first use).
# Skips, saying so, where npm is missing or the install fails: the stub's
# agreement with the module itself is python/tests/test_stub.py's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/typecheck
version=1.1.414
pyright=$work/node_modules/.bin/pyright

if [ ! -x "$pyright" ] || ! grep -q "\"version\": \"$version\"" "$work/node_modules/pyright/package.json"; then
  if ! command -v npm >/dev/null; then
    echo "typecheck: skipped: npm is not installed (Debian's npm package brings it)"
    exit 0
  fi
  mkdir -p "$work"
  if ! npm install --prefix "$work" --no-audit --no-fund --silent "pyright@$version" >"$work/npm.log" 2>&1; then
    echo "typecheck: skipped: pyright $version could not be installed from the npm registry ($work/npm.log)"
    exit 0
  fi
fi

py=$(tools/python313.sh --need)
"$py" - "$root/README.md" "$work/readme_blocks.py" <<'EOF'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
blocks = re.findall(r"^```python\n(.*?)^```$", text, re.DOTALL | re.MULTILINE)
open(sys.argv[2], "w", encoding="utf-8").write("\n".join(blocks))
EOF
# Paths are relative to the configuration file, here build/typecheck/.
cat >"$work/pyrightconfig.json" <<EOF
{
  "include": ["../../python/vostrel", "readme_blocks.py", "../../examples"],
  "extraPaths": ["../../python"],
  "strict": ["../../python/vostrel"],
  "pythonVersion": "3.13",
  "typeCheckingMode": "standard",
  "reportMissingModuleSource": false
}
EOF
"$pyright" --pythonpath "$py" -p "$work/pyrightconfig.json"
