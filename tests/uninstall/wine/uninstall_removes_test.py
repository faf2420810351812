#!/usr/bin/env python3
"""Brevel Uninstall under Wine, answered "Yes": removes every Ports device whose hardware-ID
list names the adapter (first or later in the list, root- or USB-enumerated), keeps the others
(an ID in lower case, an unrelated port, a device without IDs), and deletes the driver file and
the oem12 INF copies only once the success message has been dismissed."""
import adapter_prefix as ap
import wine_session


def test(session):
    args = test.args
    machine = ap.AdapterPrefix(session, args.helpers)
    adapter = machine.install_adapter()
    later = machine.add_device(r"USB\Vid_7A3C", ap.ADAPTER_ID)
    lower = machine.add_device(ap.ADAPTER_ID.lower())
    unrelated = machine.add_device(r"ACPI\PNP0501", "*PNP0501")
    bare = machine.add_device()
    unplugged = machine.add_device_as(r"USB\VID_7A3C&PID_0003\6&2F1A3B7&0&2",
                                      ap.ADAPTER_ID + "&Rev_0100", ap.ADAPTER_ID)
    machine.add_class_subkey("0000", {"MatchingDeviceId": "*pnp0501", "InfPath": "oem3.inf"},
                             driver_of=unrelated)
    kept_files = ["windows/inf/oem3.inf", "windows/inf/oem3.PNF", "windows/inf/oem120.INF",
                  "windows/inf/oem1.INF", "windows/system32/drivers/ORVIX.sys.old"]
    for kept in kept_files:
        machine.add_file(kept)
    assert set(machine.devices()) == {adapter, later, lower, unrelated, bare, unplugged}

    files_while_success_shown = []

    def answer(caption, text):
        if (caption, text) == ap.CONFIRM:
            return "y"
        if (caption, text) == ap.SUCCESS:
            files_while_success_shown.extend(
                f for f in (ap.DRIVER, ap.INF, ap.PNF) if machine.has_file(f))
        return "Return"

    code, shown = session.run_gui(args.uninstaller, answer)
    assert code == 0, f"exit code {code}"
    assert shown == [ap.CONFIRM, ap.SUCCESS], shown
    assert files_while_success_shown == [ap.DRIVER, ap.INF, ap.PNF], (
        f"deleted before the success message was dismissed: {files_while_success_shown}")

    remaining = machine.devices()
    assert set(remaining) == {lower, unrelated, bare}, remaining
    for gone in (ap.DRIVER, ap.INF, ap.PNF):
        assert not machine.has_file(gone), f"{gone} was not deleted"
    for kept in kept_files:
        assert machine.has_file(kept), f"{kept} was deleted"
    # The adapter's driver key went with the adapter, after its INF name had been read.
    assert not machine.class_subkey_exists("0001")
    assert machine.class_subkey_exists("0000")


if __name__ == "__main__":
    test.args = ap.arguments()
    wine_session.main(test)
