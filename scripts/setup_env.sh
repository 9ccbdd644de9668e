#!/usr/bin/env bash
# Creates (or refreshes) a virtual environment with the module built and
# installed from this checkout, plus the extra PyPI packages named after it.
# Sourced by the other scripts; nothing else needs to be installed by hand.
#
# Which CPython and NumPy:
#   nothing set              the newest supported CPython found (pyenv first,
#                            then the PATH) with the newest NumPy 2 for it
#   UNDARIX_PY=3.12          that CPython version (pyenv, or python3.12 on PATH)
#   UNDARIX_PYTHON=/path     that interpreter, of any supported version; a
#                            free-threaded CPython (3.13t on, for example the
#                            one scripts/free-threaded-python builds) only so
#   UNDARIX_NUMPY=1.26.4     a NumPy release, or "latest" for the newest 2.x
#                            that supports the interpreter (the default for
#                            every CPython but 3.8, which gets 1.24.4, its last)
# The line "using CPython X.Y (path) with NumPy N" on standard error says what
# was chosen.  scripts/matrix runs every supported combination.
set -euo pipefail

# Supported CPython versions, newest first.
supported_pythons=(3.15 3.14 3.13 3.12 3.11 3.10 3.9 3.8)
# Free-threaded builds ("t"), chosen only by UNDARIX_PYTHON.
supported_free_threaded=(3.15t 3.14t 3.13t)

# The interpreter for CPython version $1 (pyenv first, then the PATH), or nothing.
python_for_version() {
    local version="$1" candidate
    if command -v pyenv >/dev/null 2>&1; then
        for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
            # Free-threaded builds install as python3.13t and are not matched.
            if [[ -x "$candidate" ]]; then
                echo "$candidate"
                return
            fi
        done
    fi
    command -v "python$version" 2>/dev/null || true
}

# The X.Y version of the interpreter $1 (X.Yt for a free-threaded build), or
# fails with a message if it is not a supported CPython (3.8 to 3.15; a
# free-threaded build only when $2 is "free-threaded-too").
python_version_of() {
    local python="$1" accept="${2:-}" version
    if ! version="$("$python" -c 'import sys, sysconfig
free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
print("%d.%d%s" % (sys.version_info[:2] + ("t" if free else "",)) if sys.implementation.name == "cpython" else "other")' 2>/dev/null)"; then
        echo "error: $python does not run" >&2
        return 1
    fi
    local known accepted=("${supported_pythons[@]}")
    if [[ "$accept" == free-threaded-too ]]; then
        accepted+=("${supported_free_threaded[@]}")
    fi
    for known in "${accepted[@]}"; do
        if [[ "$version" == "$known" ]]; then
            echo "$version"
            return
        fi
    done
    if [[ "$version" == *t && "$accept" != free-threaded-too ]]; then
        echo "error: $python is the free-threaded CPython $version; choose it with UNDARIX_PYTHON" >&2
    else
        echo "error: $python is $version; undarix supports CPython ${supported_pythons[-1]} to ${supported_pythons[0]}" \
            "and the free-threaded ${supported_free_threaded[-1]} to ${supported_free_threaded[0]}" >&2
    fi
    return 1
}

# Sets undarix_python, undarix_py and undarix_numpy from the variables above.
choose_python() {
    if [[ -n "${UNDARIX_PYTHON:-}" ]]; then
        if ! command -v "$UNDARIX_PYTHON" >/dev/null 2>&1; then
            echo "error: UNDARIX_PYTHON=$UNDARIX_PYTHON not found" >&2
            exit 1
        fi
        undarix_python="$(command -v "$UNDARIX_PYTHON")"
        undarix_py="$(python_version_of "$undarix_python" free-threaded-too)" || exit 1
        if [[ -n "${UNDARIX_PY:-}" && "$UNDARIX_PY" != "$undarix_py" ]]; then
            echo "error: UNDARIX_PY=$UNDARIX_PY but UNDARIX_PYTHON is CPython $undarix_py" >&2
            exit 1
        fi
    elif [[ -n "${UNDARIX_PY:-}" ]]; then
        undarix_py="$UNDARIX_PY"
        undarix_python="$(python_for_version "$undarix_py")"
        if [[ -z "$undarix_python" ]]; then
            echo "error: Python $undarix_py not found (install it with pyenv, or set UNDARIX_PYTHON)" >&2
            exit 1
        fi
        python_version_of "$undarix_python" >/dev/null || exit 1
    else
        local version
        undarix_python=""
        for version in "${supported_pythons[@]}"; do
            undarix_python="$(python_for_version "$version")"
            if [[ -n "$undarix_python" ]] && python_version_of "$undarix_python" >/dev/null 2>&1; then
                # A system interpreter may lack venv or its headers (Debian's python3.X-venv, -dev).
                if "$undarix_python" -c 'import ensurepip, os, sysconfig, sys
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
                    undarix_py="$version"
                    break
                fi
                echo "note: skipping $undarix_python, which lacks venv or its headers (python$version-venv, python$version-dev)" >&2
            fi
            undarix_python=""
        done
        if [[ -z "$undarix_python" ]]; then
            echo "error: no supported CPython (${supported_pythons[-1]} to ${supported_pythons[0]}) found;" \
                "install one (pyenv, or your system's python3.X), or set UNDARIX_PYTHON" >&2
            exit 1
        fi
    fi
    if [[ -n "${UNDARIX_NUMPY:-}" ]]; then
        undarix_numpy="$UNDARIX_NUMPY"
    elif [[ "$undarix_py" == 3.8 ]]; then
        undarix_numpy=1.24.4   # the last NumPy for 3.8
    else
        undarix_numpy=latest
    fi
}

if [[ -z "${undarix_python:-}" ]]; then
    choose_python
    if [[ "$undarix_numpy" == latest ]]; then
        echo "using CPython $undarix_py ($undarix_python) with the newest NumPy 2 for it" >&2
    else
        echo "using CPython $undarix_py ($undarix_python) with NumPy $undarix_numpy" >&2
    fi
fi

# The pip requirement for the chosen NumPy.
numpy_requirement() {
    if [[ "$undarix_numpy" == latest ]]; then
        echo "numpy>=2,<3"
    else
        echo "numpy==$undarix_numpy"
    fi
}

# Where the environment of the chosen combination lives: .venv for the
# default choice, so that the README's commands keep their short paths, and
# otherwise a name that says which CPython and NumPy it holds.  An
# environment for no NumPy in particular (a build environment) passes "none".
env_dir() {
    local root="$1" kind="${2:-}" numpy="${3:-$undarix_numpy}"
    if [[ -z "${UNDARIX_PY:-}${UNDARIX_NUMPY:-}${UNDARIX_PYTHON:-}" && "$numpy" != none ]]; then
        echo "$root/.venv$kind"
    elif [[ "$numpy" == none ]]; then
        echo "$root/.venv$kind-py$undarix_py"
    else
        echo "$root/.venv$kind-py$undarix_py-numpy$numpy"
    fi
}

find_python() {
    echo "$undarix_python"
}

# Creates the environment at $1 with a current pip, anew if it exists with
# another interpreter (the default .venv follows what was found).
make_venv() {
    local venv="$1"
    if [[ -x "$venv/bin/python" ]]; then
        local held
        held="$("$venv/bin/python" -c 'import sys, sysconfig
free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
print("%d.%d%s" % (sys.version_info[:2] + ("t" if free else "",)))' 2>/dev/null || true)"
        if [[ "$held" != "$undarix_py" ]]; then
            echo "recreating $venv (it holds CPython ${held:-?}, not $undarix_py)" >&2
            rm -rf "$venv"
        fi
    fi
    if [[ ! -x "$venv/bin/python" ]]; then
        "$undarix_python" -m venv "$venv"
        "$venv/bin/python" -m pip install --quiet --upgrade pip
    fi
}

# Builds the module from this checkout and installs it into $1; further
# arguments go to pip (build settings).  A fresh build every time, so the
# environment always matches the sources; a compiler warning fails it.
install_module() {
    local venv="$1"
    shift
    local root
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    # UNDARIX_SPLIT_WORK: a build that splits calls from another threshold
    # (scripts/bench --crossover measures below the usual one with it).
    SKBUILD_CMAKE_DEFINE="UNDARIX_WARNINGS_AS_ERRORS=ON${UNDARIX_SPLIT_WORK:+;UNDARIX_SPLIT_WORK=$UNDARIX_SPLIT_WORK}" \
        "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$@" "$root"
}

# A digest of what the module is built from: the sources (the Python package
# undarix_fit too), the build files, the stubs, this script and the build
# settings it passes on.  Names and contents both count, so an added,
# removed or changed file gives another digest.
source_digest() {
    local root
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    (
        cd "$root"
        find src python stubs CMakeLists.txt pyproject.toml scripts/setup_env.sh -type f -print0 2>/dev/null |
            LC_ALL=C sort -z | xargs -0 sha256sum
        echo "UNDARIX_SPLIT_WORK=${UNDARIX_SPLIT_WORK:-}"
    ) | sha256sum | cut -d' ' -f1
}

# A digest of the pip requirements "$@" (the contents of -r files included).
requirements_digest() {
    local argument previous=""
    {
        for argument in "$@"; do
            echo "$argument"
            if [[ "$previous" == -r && -f "$argument" ]]; then
                cat "$argument"
            fi
            previous="$argument"
        done
    } | sha256sum | cut -d' ' -f1
}

# The environment at $1 with the chosen NumPy, the packages named after it and
# the module.  Stamps in the environment record what was installed: the
# requirements are not asked of pip again while the same ones are satisfied,
# and the module is rebuilt whenever its sources differ from the last build
# (so a second run on an unchanged checkout takes seconds, and a changed
# source is always rebuilt).
setup_env() {
    local venv="$1"
    shift
    make_venv "$venv"
    local wanted module_stamp="$venv/.undarix-module-stamp" requirements_stamp="$venv/.undarix-requirements-stamp"
    # A free-threaded interpreter takes binary wheels only (cp313t ones, or
    # pure Python): where a package's newest release has none, pip would
    # otherwise go back to old releases, or build NumPy or a Rust extension
    # from source.  The exceptions are small sources that build here with a
    # C compiler alone (distributed's msgpack and tornado, dask's PyYAML).
    local pip_options=()
    if [[ "$undarix_py" == *t ]]; then
        pip_options=(--only-binary :all: --no-binary tornado,msgpack,pyyaml)
    fi
    wanted="$(requirements_digest "$undarix_python" ${pip_options[@]+"${pip_options[@]}"} "$(numpy_requirement)" "$@")"
    if ! grep -qx "$wanted" "$requirements_stamp" 2>/dev/null; then
        "$venv/bin/python" -m pip install --quiet ${pip_options[@]+"${pip_options[@]}"} "$(numpy_requirement)" "$@"
        echo "$wanted" >> "$requirements_stamp"
    fi
    wanted="$(source_digest)"
    if [[ "$(cat "$module_stamp" 2>/dev/null)" != "$wanted" ]] ||
        ! "$venv/bin/python" -c 'import undarix' 2>/dev/null; then
        rm -f "$module_stamp"
        install_module "$venv"
        echo "$wanted" > "$module_stamp"
    fi
}
