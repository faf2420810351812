"""Puts an installed adapter into a Wine prefix the way Windows leaves one behind: devices of
the Ports class with their hardware-ID lists, the class subkey naming the INF copy, the INF
copies in the INF folder and the driver file."""
import argparse
import os
import stat

ADAPTER_ID = r"USB\Vid_7A3C&Pid_0003"
CLASS_GUID = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
CLASS_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class" + "\\" + CLASS_GUID
ENUM_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum"

CONFIRM = ("Brevel Uninstall", "Are you sure you want to completely remove Brevel?")
SUCCESS = ("Brevel Uninstall", "Brevel was successfully removed from your computer.")

DRIVER = "windows/system32/drivers/ORVIX.sys"
INF = "windows/inf/oem12.INF"
PNF = "windows/inf/oem12.PNF"


def arguments(with_inf=False):
    parser = argparse.ArgumentParser()
    parser.add_argument("--uninstaller", required=True, help="x86-64 BrevelUninstall.exe")
    parser.add_argument("--helpers", required=True, help="folder of the Windows test helpers")
    if with_inf:
        parser.add_argument("--inf", required=True, help="the driver's installation INF")
    args = parser.parse_args()
    for path in (args.uninstaller, os.path.join(args.helpers, "ports_devices.exe")):
        if not os.path.isfile(path):
            raise SystemExit(f"{path} is missing: build the 64-bit Windows side first "
                             "(tools/build.sh)")
    return args


def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


class AdapterPrefix:
    def __init__(self, session, helpers):
        self.session = session
        self.devices_tool = os.path.join(helpers, "ports_devices.exe")

    def add_device(self, *ids):
        """A root-enumerated Ports device; returns its instance ID."""
        return self.session.run(self.devices_tool, "add", *ids).strip()

    def add_device_as(self, instance, *ids):
        return self.session.run(self.devices_tool, "add-as", instance, *ids).strip()

    def devices(self):
        """{instance ID: [hardware IDs]} of every Ports device, present or not."""
        listed = {}
        for line in self.session.run(self.devices_tool, "list").splitlines():
            instance, _, ids = line.partition(": ")
            listed[instance] = [] if ids == "-" else ids.split("|")
        return listed

    def add_class_subkey(self, name, values, driver_of=None):
        """A subkey of the Ports class key; driver_of names the device it is the driver key of,
        so that removing that device removes the subkey too, as on Windows."""
        lines = [f"[{CLASS_KEY}\\{name}]"]
        lines += [f"{reg_string(k)}={reg_string(v)}" for k, v in values.items()]
        if driver_of:
            lines += ["", f"[{ENUM_KEY}\\{driver_of}]",
                      f'"Driver"={reg_string(CLASS_GUID + chr(92) + name)}']
        self.session.import_registry(lines)

    def class_subkey_exists(self, name):
        return self.session.key_exists(f"{CLASS_KEY}\\{name}")

    def registry_values(self, key):
        """{name: data as reg.exe shows it} of one key; None when the key does not exist."""
        code, output = self.session.wine("reg", "query", key)
        if code != 0:
            return None
        values = {}
        for line in output.splitlines():
            fields = line.strip().split(None, 2)
            if len(fields) >= 2 and fields[1].startswith("REG_"):
                values[fields[0]] = fields[2] if len(fields) == 3 else ""
        return values

    def add_file(self, relative, read_only=False):
        path = self.session.c_path(relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as created:
            created.write(f"; stands in for {os.path.basename(relative)}\n")
        if read_only:  # Wine shows a file without write permission as read-only
            os.chmod(path, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)

    def has_file(self, relative):
        return os.path.exists(self.session.c_path(relative))

    def install_adapter(self):
        """One adapter with its driver key, the INF copies and the driver file; returns the
        adapter's instance ID."""
        adapter = self.add_device(ADAPTER_ID)
        self.add_class_subkey("0001", {"MatchingDeviceId": ADAPTER_ID.lower(),
                                       "InfPath": "oem12.inf", "DriverDesc": "Brevel Port"},
                              driver_of=adapter)
        self.add_file(DRIVER, read_only=True)
        self.add_file(INF)
        self.add_file(PNF, read_only=True)
        return adapter
