#!/usr/bin/env bash
# Creates (or refreshes) a virtual environment with the module built and
# installed from this checkout, plus the extra PyPI packages named after it.
# Sourced by the other scripts; nothing else needs to be installed by hand.
#
# The interpreter and NumPy default to CPython 3.8 with NumPy 1.24.4; set
#   UNDARIX_PY=3.12          a CPython version that pyenv has (or python3.12 on PATH)
#   UNDARIX_NUMPY=1.26.4     a NumPy release, or "latest" for the newest 2.x
# to use another combination (scripts/matrix runs them all), or
# UNDARIX_PYTHON=/path/to/python for a particular interpreter.
set -euo pipefail

undarix_py="${UNDARIX_PY:-3.8}"
undarix_numpy="${UNDARIX_NUMPY:-1.24.4}"

# The pip requirement for the chosen NumPy.
numpy_requirement() {
    if [[ "$undarix_numpy" == latest ]]; then
        echo "numpy>=2,<3"
    else
        echo "numpy==$undarix_numpy"
    fi
}

# Where the environment of the chosen combination lives: .venv for the
# default one, so that the README's commands keep their short paths.
env_dir() {
    local root="$1" kind="${2:-}"
    if [[ -z "${UNDARIX_PY:-}${UNDARIX_NUMPY:-}${UNDARIX_PYTHON:-}" ]]; then
        echo "$root/.venv$kind"
    else
        echo "$root/.venv$kind-py$undarix_py-numpy$undarix_numpy"
    fi
}

find_python() {
    if [[ -n "${UNDARIX_PYTHON:-}" ]]; then
        echo "$UNDARIX_PYTHON"
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local candidate
        for candidate in "$(pyenv root)"/versions/"$undarix_py".*/bin/python"$undarix_py"; do
            # Free-threaded builds install as python3.13t and are not matched.
            if [[ -x "$candidate" ]]; then
                echo "$candidate"
                return
            fi
        done
    fi
    if command -v "python$undarix_py" >/dev/null 2>&1; then
        command -v "python$undarix_py"
        return
    fi
    echo "error: Python $undarix_py not found (install it with pyenv, or set UNDARIX_PYTHON)" >&2
    exit 1
}

# Creates the environment at $1 unless it exists, with a current pip.
make_venv() {
    local venv="$1"
    if [[ ! -x "$venv/bin/python" ]]; then
        "$(find_python)" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install --quiet --upgrade pip
}

# Builds the module from this checkout and installs it into $1; further
# arguments go to pip (build settings).  A fresh build every time, so the
# environment always matches the sources; a compiler warning fails it.
install_module() {
    local venv="$1"
    shift
    local root
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    SKBUILD_CMAKE_DEFINE="UNDARIX_WARNINGS_AS_ERRORS=ON" \
        "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$@" "$root"
}

# The environment at $1 with the chosen NumPy, the packages named after it and
# the module.
setup_env() {
    local venv="$1"
    shift
    make_venv "$venv"
    "$venv/bin/python" -m pip install --quiet "$(numpy_requirement)" "$@"
    install_module "$venv"
}
