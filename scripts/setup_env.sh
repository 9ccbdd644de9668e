#!/usr/bin/env bash
# Creates (or refreshes) a Python 3.8 virtual environment at $1 with the
# module built and installed from this checkout, plus the extra PyPI packages
# named after it.  Sourced by the other scripts; nothing else needs to be
# installed by hand.
set -euo pipefail

find_python38() {
    if [[ -n "${UNDARIX_PYTHON:-}" ]]; then
        echo "$UNDARIX_PYTHON"
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local candidate
        for candidate in "$(pyenv root)"/versions/3.8*/bin/python3.8; do
            if [[ -x "$candidate" ]]; then
                echo "$candidate"
                return
            fi
        done
    fi
    if command -v python3.8 >/dev/null 2>&1; then
        command -v python3.8
        return
    fi
    echo "error: Python 3.8 not found (install it with pyenv, or set UNDARIX_PYTHON)" >&2
    exit 1
}

setup_env() {
    local venv="$1"
    shift
    local root
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    if [[ ! -x "$venv/bin/python" ]]; then
        "$(find_python38)" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet "numpy==1.24.4" "$@"
    # A fresh build every time, so the environment always matches the sources.
    "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$root"
}
