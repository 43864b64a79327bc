#!/usr/bin/env python3
"""Link launcher of the Apple cross build (cmake/macos-cross.cmake).

The SDK mirror carries .tbd stubs for the frameworks and libobjc but none for
libSystem or libc++. For each link this writes those two from the link's own
undefined names, each name under a rule, and links with undefined names an
error:

  libc++     the C++ runtime: std::, __cxxabiv1 and the fundamental types'
             type infos, operator new and delete, the C names of the SDK's
             c++/v1/cxxabi.h;
  libSystem  C names that a header of the SDK's usr/include (outside c++/)
             names;
  either     the names the compiler or linker emit that no header names
             (EMITTED).

A C name that libobjc's stub exports is left to it, and frameworks come
before the two stubs on the link line, so their names bind to them. Any other name stays
undefined and the link fails naming it: a misspelt framework function, or
one of ours never defined. The stubs land in OUTPUT.runtime/.

usage: macos-cross-link.py SDK NM COMPILER ARG...
       macos-cross-link.py --report OBJDUMP PROGRAM...
"""

import json
import os
import re
import shlex
import subprocess
import sys

# Emitted by the compiler or the linker, named by no header (Mach-O names):
# the library that has each on a Mac, and why a program needs it.
EMITTED = {
    "dyld_stub_binder": ("libSystem", "lld binds lazy calls through it"),
    "___stack_chk_fail": ("libSystem", "the stack protector's check"),
    "___stack_chk_guard": ("libSystem", "the stack protector's canary"),
    "___cxa_atexit": ("libSystem", "registers static destructors"),
    "___cxa_thread_atexit": ("libSystem", "registers thread_local destructors"),
    "___gxx_personality_v0": ("libc++", "exception tables (libc++abi)"),
    "___dynamic_cast": ("libc++", "dynamic_cast (libc++abi)"),
}
CXX_RUNTIME = re.compile(
    r"^_(_ZN?K?St|_ZT[VITS]N?K?St|_ZT[VITS]N10__cxxabiv1|_ZTIP?K?[a-z]$|_Z(nw|na|dl|da))")
WORD = re.compile(rb"[A-Za-z_][A-Za-z0-9_]*")
# tbd v4 lists: symbols are Mach-O names; Objective-C ones get their prefix.
TBD_LIST = re.compile(r"(symbols|weak-symbols|thread-local-symbols|objc-classes|"
                      r"objc-eh-types|objc-ivars):\s*\[([^\]]*)\]")
OBJC_PREFIXES = {"objc-classes": ("_OBJC_CLASS_$_", "_OBJC_METACLASS_$_"),
                 "objc-eh-types": ("_OBJC_EHTYPE_$_",), "objc-ivars": ("_OBJC_IVAR_$_",)}


def sdk_names(sdk):
    """(words of usr/include outside c++/, the __cxa_ words of
    c++/v1/cxxabi.h, Mach-O names the stubs of usr/lib export), cached in
    the SDK folder."""
    cache = os.path.join(sdk, ".nimbrel-link-names.json")
    try:
        with open(cache) as file:
            cached = json.load(file)
        return set(cached["c"]), set(cached["cxxabi"]), set(cached["stubs"])
    except (OSError, ValueError, KeyError):
        pass
    include = os.path.join(sdk, "usr", "include")
    c_words = set()
    for folder, subfolders, files in os.walk(include, followlinks=True):
        if folder == include and "c++" in subfolders:
            subfolders.remove("c++")
        for name in files:
            with open(os.path.join(folder, name), "rb") as file:
                c_words.update(w.decode() for w in WORD.findall(file.read()))
    with open(os.path.join(include, "c++", "v1", "cxxabi.h"), "rb") as file:
        cxxabi = {w.decode() for w in WORD.findall(file.read()) if w.startswith(b"__cxa_")}
    # usr/include also declares the other libraries of usr/lib: their names
    # are theirs, not libSystem's.
    stubs = set()
    libraries = os.path.join(sdk, "usr", "lib")
    paths = [os.path.join(libraries, name) for name in os.listdir(libraries)
             if name.endswith(".tbd")]
    for path in filter(os.path.isfile, paths):
        with open(path) as file:
            for kind, items in TBD_LIST.findall(file.read()):
                for item in items.replace(",", " ").split():
                    for prefix in OBJC_PREFIXES.get(kind, ("",)):
                        stubs.add(prefix + item.strip("'\""))
    try:
        temporary = "%s.%d" % (cache, os.getpid())
        with open(temporary, "w") as file:
            json.dump({"c": sorted(c_words), "cxxabi": sorted(cxxabi),
                       "stubs": sorted(stubs)}, file)
        os.replace(temporary, cache)
    except OSError:
        pass  # a read-only SDK: derived again next time
    return c_words, cxxabi, stubs


def arguments(args):
    """The link's arguments with response files (@file) read in."""
    expanded = []
    for arg in args:
        if arg.startswith("@") and os.path.isfile(arg[1:]):
            with open(arg[1:]) as file:
                expanded.extend(shlex.split(file.read()))
        else:
            expanded.append(arg)
    return expanded


def needed_names(nm, inputs):
    """Names the inputs leave undefined and do not define themselves."""
    if not inputs:
        return set()
    listing = subprocess.run([nm, "-P", "-A"] + inputs, capture_output=True, text=True,
                             check=True).stdout
    undefined, defined = set(), set()
    for line in listing.splitlines():
        fields = line.rsplit(": ", 1)[-1].split()
        if len(fields) < 2:
            continue
        (undefined if fields[1] in "Uw" else defined).add(fields[0])
    return undefined - defined


def classify(names, c_words, cxxabi, stubs):
    """(libSystem names, libc++ names) among `names`; the rest stays undefined."""
    system, cxx = set(), set()
    for name in names:
        c_name = name[1:] if name.startswith("_") and not name.startswith("__Z") else None
        library = EMITTED.get(name, ("",))[0]
        if library == "libSystem":
            system.add(name)
        elif library == "libc++" or CXX_RUNTIME.match(name) or c_name in cxxabi:
            cxx.add(name)
        elif c_name in c_words and name not in stubs:
            system.add(name)
    return system, cxx


def tbd(install_name, names):
    listed = ", ".join("'%s'" % n if "$" in n else n for n in sorted(names))
    return ("--- !tapi-tbd\ntbd-version: 4\ntargets: [ arm64-macos ]\n"
            "install-name: '%s'\ncurrent-version: 1\nexports:\n"
            "  - targets: [ arm64-macos ]\n    symbols: [ %s ]\n...\n" % (install_name, listed))


def report(objdump, programs):
    """For each linked program, what it binds to the two written stubs; then
    the emitted names among them, with why."""
    emitted = set()
    for program in programs:
        binds = subprocess.run([objdump, "--macho", "--bind", "--lazy-bind", "--weak-bind",
                                program], capture_output=True, text=True).stdout
        bound = {"libSystem": set(), "libc++": set()}
        for line in binds.splitlines():
            fields = line.split()
            for library in bound:
                if library in fields[:-1]:
                    bound[library].add(fields[-1])
        emitted |= {n for names in bound.values() for n in names if n in EMITTED}
        with open(program + ".runtime/bound.txt", "w") as file:
            for library, names in bound.items():
                file.writelines("%s %s\n" % (library, n) for n in sorted(names))
        print("%s binds %d names to libSystem, %d to libc++ (%s.runtime/bound.txt)"
              % (program, len(bound["libSystem"]), len(bound["libc++"]), program))
    for name in sorted(emitted):
        print("named by no header, emitted by the compiler or linker: %s in %s: %s"
              % (name, EMITTED[name][0], EMITTED[name][1]))


def main(argv):
    if argv[1] == "--report":
        report(argv[2], argv[3:])
        return 0
    sdk, nm, command = argv[1], argv[2], arguments(argv[3:])
    output = command[command.index("-o") + 1] if "-o" in command else "a.out"
    inputs = [a for a in command[1:] if a.endswith((".o", ".a")) and os.path.isfile(a)]
    c_words, cxxabi, stubs = sdk_names(sdk)
    system, cxx = classify(needed_names(nm, inputs) | {"dyld_stub_binder"}, c_words,
                           cxxabi, stubs)
    folder = output + ".runtime"
    os.makedirs(folder, exist_ok=True)
    stub_paths = []
    for name, install_name, names in (("libSystem.tbd", "/usr/lib/libSystem.B.dylib", system),
                                      ("libc++.tbd", "/usr/lib/libc++.1.dylib", cxx)):
        path = os.path.join(folder, name)
        with open(path, "w") as file:
            file.write(tbd(install_name, names))
        if names:
            stub_paths.append(path)
    return subprocess.call(command + stub_paths + ["-Wl,-undefined,error"])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
