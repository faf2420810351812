#!/usr/bin/env python3
"""Brevel Uninstall under Wine when the class installer refuses to remove the second adapter:
the first adapter is gone, the refused one and the one after it stay, the error names the step
and the system's reason, no success message follows, and the driver file and INF copies are
still deleted."""
import os
import shutil

import adapter_prefix as ap
import wine_session


def test(session):
    args = test.args
    machine = ap.AdapterPrefix(session, args.helpers)
    shutil.copy(os.path.join(args.helpers, "refusing_installer.dll"),
                session.c_path("windows/system32/refusing_installer.dll"))
    session.import_registry([f"[{ap.CLASS_KEY}]",
                             '"Installer32"="refusing_installer.dll,RefuseRemoval"'])
    # Devices are enumerated in instance-ID order: ROOT\... first, then USB\... by serial.
    first = machine.install_adapter()
    refused = machine.add_device_as(r"USB\VID_7A3C&PID_0003\REFUSE", ap.ADAPTER_ID)
    after = machine.add_device_as(r"USB\VID_7A3C&PID_0003\SERIAL2", ap.ADAPTER_ID)
    assert list(machine.devices()) == [first, refused, after], machine.devices()

    code, shown = session.run_gui(
        args.uninstaller, lambda caption, text: "y" if (caption, text) == ap.CONFIRM else "Return")
    assert code == 0, f"exit code {code}"
    assert len(shown) == 2 and shown[0] == ap.CONFIRM, shown
    caption, text = shown[1]
    assert caption == "Brevel Uninstall Error", shown
    # The installer's ERROR_ACCESS_DENIED, in the system's words.
    assert text.startswith("CallClassInstaller(REMOVE) FAILURE: "), text
    reason = text[len("CallClassInstaller(REMOVE) FAILURE: "):]
    assert "denied" in reason.lower(), f"reason is not access denied: {reason!r}"

    assert set(machine.devices()) == {refused, after}, machine.devices()
    for gone in (ap.DRIVER, ap.INF, ap.PNF):
        assert not machine.has_file(gone), f"{gone} was not deleted"


if __name__ == "__main__":
    test.args = ap.arguments()
    wine_session.main(test)
