#!/usr/bin/env python3
"""The driver's installation INF read by Wine's setup API (SetupOpenInfFile, SetupDiGetINFClass
and the section and line queries): a Windows NT INF of the Ports class that installs ORVIX.sys
for the adapter's hardware ID as the kernel service of the device, without a class of its own."""
import argparse
import os
import shutil

import wine_session

ADAPTER_ID = r"USB\Vid_7A3C&Pid_0003"


def arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--inf", required=True)
    parser.add_argument("--helpers", required=True)
    args = parser.parse_args()
    if not os.path.isfile(os.path.join(args.helpers, "inf_query.exe")):
        raise SystemExit(f"{args.helpers}/inf_query.exe is missing: build the 64-bit Windows "
                         "side first (tools/build.sh)")
    return args


class Inf:
    """The INF as Wine's setup API reads it."""

    def __init__(self, session, helpers, path):
        self.session = session
        self.tool = os.path.join(helpers, "inf_query.exe")
        self.path = r"C:\brevel\orvix.inf"
        os.makedirs(session.c_path("brevel"), exist_ok=True)
        shutil.copy(path, session.c_path("brevel/orvix.inf"))

    def query(self, *sections):
        """({section: [(key, [fields])] or None when missing}, class line)."""
        output = self.session.run(self.tool, self.path, *sections).splitlines()
        class_line, found, current = output[0], {}, None
        for line in output[1:]:
            if line.startswith("[") and "] " in line:
                name, _, count = line[1:].partition("] ")
                current = name
                found[name] = None if count == "missing" else []
            else:
                key, _, fields = line.partition("=")
                found[current].append((key, fields.split("|")))
        return found, class_line

    def section(self, name):
        lines = self.query(name)[0][name]
        assert lines is not None, f"section [{name}] is missing"
        return lines

    def value(self, section, key):
        values = [fields for k, fields in self.section(section) if k.lower() == key.lower()]
        assert len(values) == 1, f"[{section}] has {len(values)} {key} lines"
        return values[0]


def test(session):
    inf = Inf(session, test.args.helpers, test.args.inf)
    _, class_line = inf.query()
    assert class_line == "class Ports {4D36E978-E325-11CE-BFC1-08002BE10318}", class_line
    assert inf.value("Version", "Signature") == ["$Windows NT$"]
    assert inf.query("ClassInstall32")[0]["ClassInstall32"] is None, "installs a class"

    # Manufacturer -> models -> the install section for the adapter's hardware ID.
    (maker_fields,) = [fields for _, fields in inf.section("Manufacturer")]
    models = inf.section(maker_fields[0])
    installs = [fields[0] for _, fields in models if ADAPTER_ID in fields[1:]]
    assert installs, f"no model names {ADAPTER_ID} (exact case): {models}"
    install = installs[0]
    sections, _ = inf.query(install + ".NT", install)
    ddinstall = install + ".NT" if sections[install + ".NT"] is not None else install

    # The driver file: copied from the source disk into the drivers folder (dirid 12).
    copy_section = inf.value(ddinstall, "CopyFiles")[0]
    assert [key for key, _ in inf.section(copy_section)] == ["ORVIX.sys"]
    assert inf.value("SourceDisksFiles", "ORVIX.sys") == ["1"]
    destinations = dict((k.lower(), f) for k, f in inf.section("DestinationDirs"))
    assert destinations.get(copy_section.lower(), destinations.get("defaultdestdir")) == ["12"]

    # The kernel service, as the device's function driver (SPSVCINST_ASSOCSERVICE).
    service_name, flags, service_section = inf.value(ddinstall + ".Services", "AddService")
    assert service_name == "Orvix" and int(flags, 16) & 0x2, (service_name, flags)
    assert inf.value(service_section, "ServiceType") == ["1"]  # kernel driver
    assert inf.value(service_section, "StartType") == ["3"]  # demand: Plug and Play loads it
    binary = inf.value(service_section, "ServiceBinary")[0]
    assert binary.lower().endswith(r"\system32\drivers\orvix.sys"), binary
    assert inf.value(service_section, "DisplayName")[0] == "Brevel USB Serial Port Driver"

    # A serial port for the Ports class installer, which gives it its COM name.
    add_reg = [fields for _, fields in inf.section(inf.value(ddinstall, "AddReg")[0])]
    assert ["HKR", "", "PortSubClass", "1", "01"] in add_reg, add_reg
    print(f"{install}: {ADAPTER_ID} -> ORVIX.sys, service {service_name} ({binary})")


if __name__ == "__main__":
    test.args = arguments()
    wine_session.main(test)
