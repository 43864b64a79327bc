#!/usr/bin/env python3
"""Tests of the repository's scripts: install-deps on stubbed machines,
check-format on scratch repositories, the steps of mac-acceptance, the name
rules of the Apple cross link, the acceptance's parent program, and the
version written once.

usage: scripts_test.py SOURCE_DIR VERSION [unittest options]
"""
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = ""
VERSION = ""

DEBIAN_PACKAGES = (
    "cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev "
    "libbenchmark-dev libutf8proc-dev nlohmann-json3-dev libplist-dev clang "
    "lld llvm libclang-rt-14-dev clang-format python3 libpulse-dev "
    "libpipewire-0.3-dev pulseaudio "
    "pulseaudio-utils pipewire pipewire-bin pipewire-pulse wireplumber "
    "dbus-daemon linux-perf nodejs node-typescript").split()
COMMANDS = ("cmake ninja c++ pkg-config clang ld.lld llvm-ar clang-format "
            "python3 pulseaudio pactl pipewire pw-play pipewire-pulse "
            "wireplumber dbus-daemon perf node tsc").split()
HEADERS = ("gtest/gtest.h gmock/gmock.h benchmark/benchmark.h "
           "nlohmann/json.hpp").split()
MODULES = "libutf8proc libplist-2.0 libpulse libpipewire-0.3".split()

# Each stub uses shell built-ins only: the script runs with PATH set to the
# stub folder alone, so a tool that is not stubbed is absent.
STUBS = {
    "uname": 'echo "$STUB_OS"',
    "id": "echo 0",
    "dpkg": 'case " $STUB_DPKG " in *" $2 "*) exit 0 ;; esac; exit 1',
    "apt-get": 'echo "apt-get $*" >>"$STUB_LOG"; exit "${STUB_APT_STATUS:-0}"',
    # Defaults to C++98 as Apple clang may, where GoogleTest's headers fail;
    # Homebrew's headers are found only through -I.
    "c++": ('std=c++98; inc=\n'
            'for a; do case $a in -std=*) std=${a#-std=} ;; -I*) inc=${a#-I} ;; esac; done\n'
            'read -r line; h=${line#*<}; h=${h%>}\n'
            'case $h:$std in g*/g*:c++98|g*/g*:c++11|g*/g*:c++14) exit 1 ;; esac\n'
            'case " $STUB_HEADERS " in *" $h "*) exit 0 ;; esac\n'
            '[ "$inc" = "$STUB_BREW_PREFIX/include" ] || exit 1\n'
            'case " $STUB_BREW_HEADERS " in *" $h "*) exit 0 ;; esac; exit 1'),
    "pkg-config": 'case " $STUB_MODULES " in *" $2 "*) exit 0 ;; esac; exit 1',
    "clang++": 'while read -r _; do :; done; exit "${STUB_FUZZER:-1}"',
    "brew": 'echo "$STUB_BREW_PREFIX"',
}


class InstallDeps(unittest.TestCase):

    def run_script(self, os_name, commands=(), dpkg=(), headers=(),
                   modules=(), fuzzer=False, apt=False, apt_status=0,
                   brew_prefix="/opt/homebrew", brew_headers=()):
        with tempfile.TemporaryDirectory() as stubs:
            log = os.path.join(stubs, "log")
            open(log, "w").close()
            wanted = {"uname", "id", "pkg-config", "clang++"}
            wanted |= set(commands)
            if dpkg is not None:
                wanted.add("dpkg")
            if apt:
                wanted.add("apt-get")
            if os_name == "Darwin":
                wanted.add("brew")
            for name in wanted:
                body = STUBS.get(name, "exit 0")
                path = os.path.join(stubs, name)
                with open(path, "w") as f:
                    f.write("#!/bin/sh\n" + body + "\n")
                os.chmod(path, 0o755)
            env = {
                "PATH": stubs, "STUB_OS": os_name, "STUB_LOG": log,
                "STUB_DPKG": " ".join(dpkg or ()),
                "STUB_HEADERS": " ".join(headers),
                "STUB_MODULES": " ".join(modules),
                "STUB_FUZZER": "0" if fuzzer else "1",
                "STUB_APT_STATUS": str(apt_status),
                "STUB_BREW_PREFIX": brew_prefix,
                "STUB_BREW_HEADERS": " ".join(brew_headers),
            }
            result = subprocess.run(
                ["/bin/sh", os.path.join(SOURCE, "scripts", "install-deps")],
                env=env, capture_output=True, text=True, timeout=60)
            with open(log) as f:
                calls = f.read().splitlines()
        return result, calls

    def test_machines(self):
        everything = dict(commands=COMMANDS, headers=HEADERS, modules=MODULES,
                          fuzzer=True)
        install = "apt-get install -y --no-install-recommends"
        cases = [
            # name, machine, exit status, apt-get calls, stderr must contain
            ("debian, all installed",
             dict(os_name="Linux", dpkg=DEBIAN_PACKAGES, apt=True),
             0, [], []),
            ("debian, two missing",
             dict(os_name="Linux", apt=True,
                  dpkg=[p for p in DEBIAN_PACKAGES
                        if p not in ("ninja-build", "libplist-dev")]),
             0, [install + " ninja-build libplist-dev"],
             ["installing: ninja-build libplist-dev"]),
            ("debian, package absent but the tool there",
             dict(os_name="Linux", apt=True, commands=["python3"],
                  dpkg=[p for p in DEBIAN_PACKAGES if p != "python3"]),
             0, [], []),
            ("debian, apt-get fails",
             dict(os_name="Linux", apt=True, apt_status=100,
                  dpkg=[p for p in DEBIAN_PACKAGES if p != "cmake"]),
             1, [install + " cmake", "apt-get update"], []),
            ("no apt-get, all present",
             dict(os_name="Linux", dpkg=None, **everything), 0, [], []),
            ("no apt-get, two missing",
             dict(os_name="Linux", dpkg=None, commands=COMMANDS,
                  headers=[h for h in HEADERS if h != "nlohmann/json.hpp"],
                  modules=MODULES, fuzzer=False),
             1, [], ["nlohmann-json3-dev", "libclang-rt-14-dev"]),
            ("dpkg without apt-get, missing",
             dict(os_name="Linux", apt=False,
                  dpkg=[p for p in DEBIAN_PACKAGES if p != "lld"]),
             1, [], ["missing", " lld"]),
            ("mac, what the Apple build and the simulated platform need",
             dict(os_name="Darwin", dpkg=None, fuzzer=False,
                  commands=["cmake", "ninja", "c++", "xcode-select"],
                  headers=["gtest/gtest.h", "gmock/gmock.h", "nlohmann/json.hpp"]),
             0, [], []),
            ("mac, apple silicon: Homebrew's headers in /opt/homebrew",
             dict(os_name="Darwin", dpkg=None,
                  commands=["cmake", "ninja", "c++", "xcode-select"],
                  brew_headers=["gtest/gtest.h", "gmock/gmock.h",
                                "nlohmann/json.hpp"]),
             0, [], []),
            ("mac, intel: Homebrew's headers in /usr/local",
             dict(os_name="Darwin", dpkg=None, brew_prefix="/usr/local",
                  commands=["cmake", "ninja", "c++", "xcode-select"],
                  brew_headers=["gtest/gtest.h", "gmock/gmock.h",
                                "nlohmann/json.hpp"]),
             0, [], []),
            ("mac, missing (c++ is the tools' stub)",
             dict(os_name="Darwin", dpkg=None, commands=["cmake", "c++"]),
             1, [], ["brew install ninja googletest nlohmann-json\n",
                     "xcode-select --install"]),
        ]
        for name, machine, status, calls, messages in cases:
            with self.subTest(name):
                result, made = self.run_script(**machine)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(made, calls)
                for message in messages:
                    self.assertIn(message, result.stderr)
                if status == 0 and not calls:
                    self.assertEqual(result.stderr, "")
                self.assertNotIn("not found", result.stderr)


GOOD = "int main() { return 0; }\n"
BAD = "int  main( ){return 0;}\n"


class CheckFormat(unittest.TestCase):

    def repository(self, files, tracked):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        os.mkdir(os.path.join(folder, "scripts"))
        shutil.copy(os.path.join(SOURCE, "scripts", "check-format"),
                    os.path.join(folder, "scripts"))
        shutil.copy(os.path.join(SOURCE, ".clang-format"), folder)
        for name, text in files.items():
            path = os.path.join(folder, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        git = ["git", "-C", folder]
        subprocess.run(git + ["init", "-q"], check=True)
        subprocess.run(git + ["add", "--"] + list(tracked), check=True)
        return folder

    def check(self, folder, *arguments):
        return subprocess.run(
            [os.path.join(folder, "scripts", "check-format"), *arguments],
            capture_output=True, text=True, timeout=120)

    def test_trees(self):
        cases = [
            # name, files, tracked, exit status, files named
            ("all formatted", {"a.cpp": GOOD, "b.h": GOOD}, ["a.cpp", "b.h"],
             0, []),
            ("one C++ file off", {"a.cpp": GOOD, "src/b c.cpp": BAD},
             ["a.cpp", "src/b c.cpp"], 1, ["src/b c.cpp"]),
            ("objective-c++ and headers too", {"x.mm": BAD, "y.h": BAD},
             ["x.mm", "y.h"], 1, ["x.mm", "y.h"]),
            ("untracked files are left out", {"a.cpp": GOOD, "new.cpp": BAD},
             ["a.cpp"], 0, []),
            ("other languages are left out", {"a.cpp": GOOD, "t.txt": BAD,
                                              "s.py": BAD},
             ["a.cpp", "t.txt", "s.py"], 0, []),
        ]
        for name, files, tracked, status, named in cases:
            with self.subTest(name):
                folder = self.repository(files, tracked)
                result = self.check(folder)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(result.stdout.splitlines(),
                                 named if status else [])
                if status:
                    self.assertIn(f"would change {len(named)} of "
                                  f"{sum(t.endswith(('.cpp', '.h', '.mm')) for t in tracked)}"
                                  " files", result.stderr)

    def test_fix_then_check(self):
        folder = self.repository({"a.cpp": BAD, "untracked.cpp": BAD},
                                 ["a.cpp"])
        self.assertEqual(self.check(folder, "--fix").returncode, 0)
        self.assertEqual(self.check(folder).returncode, 0)
        with open(os.path.join(folder, "a.cpp")) as f:
            self.assertEqual(f.read(), GOOD)
        with open(os.path.join(folder, "untracked.cpp")) as f:
            self.assertEqual(f.read(), BAD)


class MacAcceptance(unittest.TestCase):

    def test_dry_run_shows_the_steps_in_order(self):
        run = subprocess.run(["/bin/sh", os.path.join(SOURCE, "scripts", "mac-acceptance"),
                              "--dry-run"], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        steps = [line.split(":")[0] for line in run.stdout.splitlines()
                 if line.startswith("DRY ") and not line.startswith("DRY  ")]
        self.assertEqual(steps[1:], [
            "DRY build and sign, with the Core Audio build's tests",
            "DRY Core Audio contract tests (build/macos/audio/audio_contract_tests) and "
            "support tests", "DRY the simulated suite (scripts/test)", "DRY on-device checks"])
        for check in ["SIGTERM", "switch of the default output", "input channels",
                      "starts after it", "signed parent application"]:
            self.assertIn(check, run.stdout)
        self.assertNotIn("scripts/test", subprocess.run(
            ["/bin/sh", os.path.join(SOURCE, "scripts", "mac-acceptance"), "--dry-run",
             "--skip-suite"], capture_output=True, text=True).stdout)


class MacCrossLink(unittest.TestCase):

    def test_names_left_to_the_written_stubs_and_the_rest_undefined(self):
        spec = importlib.util.spec_from_file_location(
            "macos_cross_link", os.path.join(SOURCE, "cmake", "macos-cross-link.py"))
        link = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(link)
        names = {"_malloc", "_objc_msgSend", "___cxa_throw", "___cxa_atexit",
                 "___stack_chk_guard", "dyld_stub_binder", "__ZNSt3__14coutE",
                 "__ZTISt9exception", "__Znwm", "__ZTIb", "__ZN7nimbrel4emitEv",
                 "_AudioHardwareDestroyProcesTap", "_OBJC_CLASS_$_NSString"}
        system, cxx = link.classify(names, c_words={"malloc", "objc_msgSend", "NSString"},
                                    cxxabi={"__cxa_throw"}, stubs={"_objc_msgSend"})
        self.assertEqual(system, {"_malloc", "___cxa_atexit", "___stack_chk_guard",
                                  "dyld_stub_binder"})
        self.assertEqual(cxx, {"___cxa_throw", "__ZNSt3__14coutE", "__ZTISt9exception",
                               "__Znwm", "__ZTIb"})
        text = link.tbd("/usr/lib/libSystem.B.dylib", {"_OBJC_CLASS_$_X", "_a"})
        self.assertIn("symbols: [ '_OBJC_CLASS_$_X', _a ]", text)


class ParentApp(unittest.TestCase):

    def test_runs_its_helper_stops_it_and_writes_the_status(self):
        helpers = [("stops on SIGTERM", "trap 'echo bye >&2; exit 3' TERM", "3"),
                   ("ignores SIGTERM", "trap '' TERM", "-1")]
        with tempfile.TemporaryDirectory() as folder:
            parent = os.path.join(folder, "parent")
            subprocess.run(["cc", "-o", parent, os.path.join(
                SOURCE, "scripts", "acceptance", "parent_app.c")], check=True)
            for name, trap, status in helpers:
                with self.subTest(name):
                    helper = os.path.join(folder, "helper")
                    with open(helper, "w") as f:
                        f.write("#!/bin/sh\n%s\necho pcm\nwhile :; do sleep 0.1; done\n"
                                % trap)
                    os.chmod(helper, 0o755)
                    files = [os.path.join(folder, n) for n in ("out", "err", "status")]
                    run = subprocess.run([parent, helper, "1"] + files, timeout=10)
                    self.assertEqual(run.returncode, 0)
                    read = []
                    for path in files:
                        with open(path) as f:
                            read.append(f.read())
                    self.assertEqual(read[0], "pcm\n")
                    self.assertEqual(read[2], status + "\n")
                    self.assertEqual(read[1], "bye\n" if status == "3" else "")


class Version(unittest.TestCase):

    def test_written_only_in_the_root_cmake_file(self):
        if not os.path.exists(os.path.join(SOURCE, ".git")):
            self.skipTest("not a git checkout")
        listed = subprocess.run(["git", "-C", SOURCE, "ls-files"],
                                capture_output=True, text=True, check=True)
        holders = []
        for name in listed.stdout.splitlines():
            try:
                with open(os.path.join(SOURCE, name), encoding="utf-8") as f:
                    if VERSION in f.read():
                        holders.append(name)
            except (UnicodeDecodeError, FileNotFoundError):
                continue
        self.assertEqual(holders, ["CMakeLists.txt"])


if __name__ == "__main__":
    SOURCE, VERSION = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
