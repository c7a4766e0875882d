#!/usr/bin/env python3
"""Checks that every registered test is isolated: each sees a system bus address that leads
nowhere, and each whose program can build a server core (or starts the server program) runs
through the network-namespace runner, which also gives it a program-data folder of its own.

    isolation_check.py CTEST BUILD_DIR RUNNER
"""

import json
import os
import subprocess
import sys

# Constructors of the server core and of the server's entry class, as the linker names them.
CORE_MARKERS = [b"_ZN6ServerC1E", b"_ZN6ServerC2E", b"_ZN5DravoC1Ev", b"_ZN5DravoC2Ev",
                b"/dravo_service\0"]


def builds_core(path):
    """A program that can build a server core; scripts and the shared libraries a test only
    inspects are not."""
    name = os.path.basename(path)
    if name == "dravo_service":
        return True
    if ".so" in name or not os.access(path, os.X_OK):
        return False
    with open(path, "rb") as program:
        content = program.read()
    return content.startswith(b"\x7fELF") and any(marker in content for marker in CORE_MARKERS)


def bus_address(test):
    address = None
    for prop in test.get("properties", []):
        if prop["name"] == "ENVIRONMENT":
            for entry in prop["value"]:
                if entry.startswith("DBUS_SYSTEM_BUS_ADDRESS="):
                    address = entry.split("=", 1)[1]
    return address


def problems(tests, runner):
    found = []
    for test in tests:
        name, command = test["name"], test.get("command", [])
        address = bus_address(test)
        if not address or not address.startswith("unix:path="):
            found.append(f"{name}: no DBUS_SYSTEM_BUS_ADDRESS of a unix socket")
        elif os.path.exists(address[len("unix:path="):]):
            found.append(f"{name}: the bus address {address} exists")
        in_netns = bool(command) and os.path.realpath(command[0]) == os.path.realpath(runner)
        programs = [word for word in command if os.path.isfile(word)]
        if not in_netns and any(builds_core(program) for program in programs):
            found.append(f"{name}: builds a server core outside a network namespace")
    return found


def main(argv):
    ctest, build, runner = argv[1:4]
    listing = subprocess.run([ctest, "--show-only=json-v1"], cwd=build, check=True,
                             capture_output=True, text=True).stdout
    tests = json.loads(listing)["tests"]
    found = problems(tests, runner)
    for problem in found:
        print(problem)
    if not found:
        print(f"{len(tests)} tests isolated")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
