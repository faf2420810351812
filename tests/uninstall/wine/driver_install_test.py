#!/usr/bin/env python3
"""The driver package installed with Wine's setup API as a user installs it on Windows, then
removed by Brevel Uninstall. The INF is copied into the INF folder (SetupCopyOEMInf) and
installed for the adapter (UpdateDriverForPlugAndPlayDevices): ORVIX.sys lands in the drivers
folder, the Orvix kernel service is created and becomes the device's service, and the device's
driver key gets the INF's values. Brevel Uninstall then removes the device, the driver file and
both INF copies.

Where Wine 8 does less than Windows, the test does it in Windows' place and says so:
- Windows names the INF copy oemN.inf; Wine keeps the package's name (orvix.inf), which the
  uninstaller handles the same way (InfPath is read, not assumed).
- Windows records the hardware ID that matched as MatchingDeviceId in the driver key; Wine 8
  does not, so the test writes the value Windows would (the ID in lower case)."""
import os
import shutil

import adapter_prefix as ap
import wine_session

SERVICE_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Orvix"


def test(session):
    args = test.args
    machine = ap.AdapterPrefix(session, args.helpers)
    package = session.c_path("brevel")
    os.makedirs(package)
    shutil.copy(args.inf, os.path.join(package, "orvix.inf"))
    # The package's layout: the x86 driver beside the INF, the x86-64 one (which this 64-bit
    # Wine installs through the INF's NTamd64 section) in amd64/.
    os.makedirs(os.path.join(package, "amd64"))
    for folder in ("", "amd64"):
        with open(os.path.join(package, folder, "ORVIX.sys"), "wb") as driver:
            driver.write(b"MZ stands in for the driver image")
    adapter = machine.add_device(ap.ADAPTER_ID)
    other = machine.add_device(r"ACPI\PNP0501")

    copy_name = session.run(os.path.join(args.helpers, "install_driver.exe"),
                            r"C:\brevel\orvix.inf", ap.ADAPTER_ID).strip()
    base = copy_name.rsplit(".", 1)[0]
    assert machine.has_file(f"windows/inf/{copy_name}"), copy_name
    assert machine.has_file(ap.DRIVER), "ORVIX.sys was not copied to the drivers folder"

    service = machine.registry_values(SERVICE_KEY)
    assert service is not None, "the Orvix service was not created"
    assert service["Type"] == "0x1" and service["Start"] == "0x3", service
    assert service["ImagePath"].lower().endswith(r"\system32\drivers\orvix.sys"), service
    device = machine.registry_values(ap.ENUM_KEY + "\\" + adapter)
    assert device["Service"] == "Orvix", device
    driver_key = ap.CLASS_KEY.rsplit("\\", 1)[0] + "\\" + device["Driver"]
    values = machine.registry_values(driver_key)
    assert values["InfPath"].lower() == copy_name.lower(), values
    assert values["PortSubClass"] == "01", values
    assert machine.registry_values(ap.ENUM_KEY + "\\" + other).get("Driver") is None

    session.import_registry([f"[{driver_key}]",
                             f'"MatchingDeviceId"={ap.reg_string(ap.ADAPTER_ID.lower())}'])
    if not any(machine.has_file(f"windows/inf/{base}.{e}") for e in ("pnf", "PNF")):
        machine.add_file(f"windows/inf/{base}.PNF")  # Windows precompiles every INF copy

    code, shown = session.run_gui(
        args.uninstaller, lambda caption, text: "y" if (caption, text) == ap.CONFIRM else "Return")
    assert code == 0 and shown == [ap.CONFIRM, ap.SUCCESS], (code, shown)
    assert set(machine.devices()) == {other}, machine.devices()
    assert machine.registry_values(driver_key) is None, "the driver key is still there"
    assert not machine.has_file(ap.DRIVER), "ORVIX.sys is still there"
    for extension in ("inf", "INF", "pnf", "PNF"):
        assert not machine.has_file(f"windows/inf/{base}.{extension}"), f"{base}.{extension}"
    assert machine.has_file("brevel/orvix.inf"), "removed the package's own INF"


if __name__ == "__main__":
    test.args = ap.arguments(with_inf=True)
    wine_session.main(test)
