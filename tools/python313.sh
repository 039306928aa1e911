#!/usr/bin/env bash
# Prints the installation prefix of CPython 3.13, or nothing.
prefix=$(pyenv prefix 3.13.0 2>/dev/null || true)
if [ -z "$prefix" ] && [ -x "$HOME/.pyenv/versions/3.13.0/bin/python3.13" ]; then
  prefix="$HOME/.pyenv/versions/3.13.0"
fi
if [ -z "$prefix" ] && [ -x /root/.pyenv/versions/3.13.0/bin/python3.13 ]; then
  prefix=/root/.pyenv/versions/3.13.0
fi
echo "$prefix"
