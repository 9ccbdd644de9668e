"""Building and running the native checks of tests/native/<layer>: each folder is a CMake project of
programs that take a check's name (or --list) and print "<check> passed".
UNDARIX_NATIVE_CXXFLAGS and UNDARIX_NATIVE_BUILD_TYPE choose how they are built (scripts/coverage
builds them with its counters)."""
import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def clean_env():
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime preloaded for Python is not these programs'
    return env


def build(layer, build_dir):
    """Configures and builds tests/native/<layer> in build_dir; returns build_dir."""
    source = os.path.join(ROOT, "tests", "native", layer)
    build_type = os.environ.get("UNDARIX_NATIVE_BUILD_TYPE", "RelWithDebInfo")
    configure = ["cmake", "-S", source, "-B", build_dir, "-DCMAKE_BUILD_TYPE=" + build_type]
    flags = os.environ.get("UNDARIX_NATIVE_CXXFLAGS")
    if flags:
        configure += ["-DCMAKE_CXX_FLAGS=" + flags, "-DCMAKE_EXE_LINKER_FLAGS=" + flags]
    for command in (configure, ["cmake", "--build", build_dir, "-j2"]):
        completed = subprocess.run(command, capture_output=True, text=True, env=clean_env(), timeout=600)
        assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-3000:]
    return build_dir


def listed_checks(build_dir, program):
    return subprocess.run([os.path.join(build_dir, program), "--list"], capture_output=True, text=True,
                          check=True, env=clean_env()).stdout.split()


def run_check(build_dir, program, check, timeout):
    completed = subprocess.run([os.path.join(build_dir, program), check], capture_output=True, text=True,
                               env=clean_env(), timeout=timeout)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert completed.stdout == check + " passed\n"
